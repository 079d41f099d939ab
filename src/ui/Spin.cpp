#include "ui/Spin.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionFrame>

#include "platform/windowing/Windows.h"

namespace ui {
namespace {

constexpr int kBorderHeight = 1;  // a thin border is one pixel on every desktop we run on
constexpr QChar kBackspace(8);
constexpr QChar kEnter(13);

// Sign and decimal digits only, within 32 bits; anything else is not an integer.
std::optional<int> ReadInteger(const QString& text) {
  qsizetype at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) negative = text[at++] == u'-';
  if (at == text.size()) return std::nullopt;
  std::int64_t magnitude = 0;
  for (; at < text.size(); ++at) {
    char16_t c = text[at].unicode();
    if (c < u'0' || c > u'9') return std::nullopt;
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > std::int64_t{1} << 31) return std::nullopt;
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(value);
}

int Saturated(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

// The characters a key types, as far as the box is concerned: Backspace and Enter count, while
// shortcuts and keys that type nothing (Delete, cursor keys) do not.
QString TypedText(const QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Backspace:
      return QString(kBackspace);
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return QString(kEnter);
    default:
      break;
  }
  if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return {};
  QString text = event->text();
  if (text.isEmpty() || !text.at(0).isPrint()) return {};
  return text;
}

}  // namespace

TSpinEdit::TSpinEdit(QWidget* parent) : QLineEdit(parent) {
  setText(QStringLiteral("0"));
  connect(this, &QLineEdit::textChanged, this, [this] {
    if (OnChange) detail::Reporting([this] { OnChange(this); });
  });
  button_ = new TSpinButton(this);
  button_->setGeometry(0, 0, 15, 17);
  button_->SetFocusControl(this);
  button_->OnUpClick = [this](QObject*) { StepUp(); };
  button_->OnDownClick = [this](QObject*) { StepDown(); };
  UpdateMinSize();
}

TSpinEdit::~TSpinEdit() = default;

void TSpinEdit::SetMinValue(int value) {
  minValue_ = value;
  UpdateMinSize();
}

void TSpinEdit::SetMaxValue(int value) {
  maxValue_ = value;
  UpdateMinSize();
}

void TSpinEdit::SetEditorEnabled(bool value) {
  editorEnabled_ = value;
  setAcceptDrops(value);  // a drop is a paste by other means
}

int TSpinEdit::Value() const {
  return ReadInteger(text()).value_or(minValue_);
}

void TSpinEdit::SetValue(int value) {
  QString newText = QString::number(ClampValue(value));
  if (newText != text()) setText(newText);
}

int TSpinEdit::ClampValue(int value) const {
  if (minValue_ == maxValue_) return value;
  if (value < minValue_) return minValue_;
  if (value > maxValue_) return maxValue_;
  return value;
}

void TSpinEdit::StepUp() {
  if (isReadOnly())
    win::MessageBeep(win::MB_OK);
  else
    SetValue(Saturated(std::int64_t{Value()} + increment_));
}

void TSpinEdit::StepDown() {
  if (isReadOnly())
    win::MessageBeep(win::MB_OK);
  else
    SetValue(Saturated(std::int64_t{Value()} - increment_));
}

bool TSpinEdit::IsAcceptedChar(QChar key) const {
  char16_t code = key.unicode();
  if (code < 32) return code != kEnter && (editorEnabled_ || code != kBackspace);
  if (!editorEnabled_) return false;
  return key == u'+' || key == u'-' || (code >= u'0' && code <= u'9') ||
         QString(key) == QLocale().decimalPoint();
}

bool TSpinEdit::AcceptsText(const QString& text) const {
  return std::all_of(text.begin(), text.end(), [this](QChar key) { return IsAcceptedChar(key); });
}

int TSpinEdit::MinHeight() const {
  int height = fontMetrics().height();
  int systemHeight = QFontMetrics(QApplication::font()).height();
  return height + std::min(systemHeight, height) / 4 + 4 * kBorderHeight + 2;
}

int TSpinEdit::MinWidth() const {
  if (minValue_ == maxValue_) return 0;
  const QFontMetrics& metrics = fontMetrics();
  const int widest = std::max(metrics.horizontalAdvance(QString::number(minValue_)),
                              metrics.horizontalAdvance(QString::number(maxValue_)));
  QStyleOptionFrame frame;
  initStyleOption(&frame);
  const QRect inside = style()->subElementRect(QStyle::SE_LineEditContents, &frame, this);
  // The frame and the buttons' room (the right text margin) take what they take at any width;
  // the line edit keeps a margin on either side of the text, and the cursor a pixel after it.
  constexpr int kTextSideMargins = 2 * 2;
  constexpr int kCursor = 1;
  return width() - inside.width() + textMargins().right() + kTextSideMargins + widest + kCursor;
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
    if (event->key() == Qt::Key_Up)
      StepUp();
    else
      StepDown();
    QLineEdit::keyPressEvent(event);
    event->accept();  // stepped; not for the parent
    return;
  }
  if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut)) {
    if (CanEdit())
      QLineEdit::keyPressEvent(event);
    else
      event->accept();
    return;
  }
  if (!AcceptsText(TypedText(event))) {
    win::MessageBeep(win::MB_OK);
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void TSpinEdit::inputMethodEvent(QInputMethodEvent* event) {
  if (AcceptsText(event->commitString())) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  win::MessageBeep(win::MB_OK);
  QInputMethodEvent withoutCommit(event->preeditString(), event->attributes());
  QLineEdit::inputMethodEvent(&withoutCommit);
  event->accept();
}

void TSpinEdit::mouseReleaseEvent(QMouseEvent* event) {
  // The middle button pastes the selection.
  if (event->button() == Qt::MiddleButton && !CanEdit()) {
    event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(event);
}

void TSpinEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createStandardContextMenu();
  if (!menu) return;
  if (!CanEdit()) {
    for (const char* name : {"edit-cut", "edit-paste"})
      if (auto* action = menu->findChild<QAction*>(QLatin1String(name))) action->setEnabled(false);
  }
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

void TSpinEdit::focusInEvent(QFocusEvent* event) {
  // Coming back to the window or from a menu is not entering the box.
  Qt::FocusReason reason = event->reason();
  bool entering = reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
  bool byLeftPress =
      reason == Qt::MouseFocusReason && (QGuiApplication::mouseButtons() & Qt::LeftButton);
  // QLineEdit selects on Tab by itself; whether to select is AutoSelect's business here.
  QFocusEvent plain(QEvent::FocusIn, entering ? Qt::OtherFocusReason : reason);
  QLineEdit::focusInEvent(&plain);
  if (entering && autoSelect_ && !byLeftPress) selectAll();
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // A menu over the box is not leaving it. The window losing activation is: a value out of
  // range must not stay behind in a window the user has turned away from.
  if (event->reason() != Qt::PopupFocusReason) EndEdit();
}

void TSpinEdit::hideEvent(QHideEvent* event) {
  QLineEdit::hideEvent(event);
  // A window can be hidden or minimized without losing activation first.
  EndEdit();
}

void TSpinEdit::EndEdit() {
  const int value = Value();
  if (ClampValue(value) != value || !ReadInteger(text())) SetValue(value);
}

void TSpinEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceButton();
}

void TSpinEdit::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::ApplicationFontChange:
    case QEvent::StyleChange:
      UpdateMinSize();
      break;
    default:
      break;
  }
}

void TSpinEdit::UpdateMinSize() {
  // Qt raises a lower or narrower box at once, whenever and however it is resized. The width
  // counts the buttons' room, which they take once placed.
  PlaceButton();
  setMinimumSize(MinWidth(), MinHeight());
}

void TSpinEdit::PlaceButton() {
  QStyleOptionFrame frame;
  initStyleOption(&frame);
  QRect inside = style()->subElementRect(QStyle::SE_LineEditContents, &frame, this);
  // One pixel clear of the frame on the right and at the bottom, flush with it at the top.
  int pairWidth = button_->width();
  button_->setGeometry(inside.x() + inside.width() - pairWidth - 1, inside.y(), pairWidth,
                       inside.height() - 1);
  int rightMargin = inside.x() + inside.width() - (button_->x() - 2);
  setTextMargins(0, 0, rightMargin, 0);
}

}  // namespace ui
