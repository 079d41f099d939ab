#include "ui/SpinButton.h"

#include <algorithm>
#include <exception>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

#include "platform/windowing/Application.h"
#include "platform/windowing/Timer.h"
#include "platform/windowing/Windows.h"
#include "rtl/Exception.h"

namespace ui {
namespace detail {

void Reporting(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& error) {
    if (win::TApplication* app = win::TApplication::Instance()) app->HandleException(error);
  } catch (...) {
    if (win::TApplication* app = win::TApplication::Instance())
      app->HandleException(Exception("Unknown exception"));
  }
}

}  // namespace detail

namespace {

constexpr int kFirstRepeatMs = 400;
constexpr int kRepeatMs = 100;
constexpr int kMinPairWidth = 15;

bool CanFocus(const QWidget* widget) {
  return widget->isVisible() && widget->isEnabled();
}

}  // namespace

// ---- TTimerSpeedButton ----

TTimerSpeedButton::TTimerSpeedButton(QWidget* parent) : QAbstractButton(parent) {
  // A speed button never takes the keyboard focus; its pair does.
  setFocusPolicy(Qt::NoFocus);
}

TTimerSpeedButton::~TTimerSpeedButton() = default;

void TTimerSpeedButton::SetShowFocusRect(bool value) {
  if (value == showFocusRect_) return;
  showFocusRect_ = value;
  update();
}

void TTimerSpeedButton::SetGlyph(const QImage& glyph) {
  glyph_ = glyph;
  update();
}

void TTimerSpeedButton::SetNumGlyphs(int value) {
  numGlyphs_ = std::clamp(value, 1, 4);
  update();
}

void TTimerSpeedButton::Click() {
  if (OnClick) OnClick(this);
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent* event) {
  if (OnMouseDown) {
    QPoint at = event->position().toPoint();
    detail::Reporting(
        [&] { OnMouseDown(this, event->button(), event->modifiers(), at.x(), at.y()); });
  }
  QAbstractButton::mousePressEvent(event);
  if (event->button() != Qt::LeftButton || !isDown()) return;
  // Our own grab, not Qt's implicit one, so the repeat timer can ask whether we still hold it.
  grabMouse();
  if (!autoRepeat_) return;
  if (!repeatTimer_) {
    repeatTimer_ = std::make_unique<win::TTimer>();
    repeatTimer_->SetEnabled(false);
    repeatTimer_->SetOnTimer([this](win::TTimer*) { RepeatTimerTimer(); });
  }
  repeatTimer_->SetEnabled(false);
  repeatTimer_->SetInterval(kFirstRepeatMs);
  repeatTimer_->SetEnabled(true);
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractButton::mouseReleaseEvent(event);
    return;
  }
  bool clicks = isDown() && hitButton(event->position().toPoint());
  EndPress();
  QAbstractButton::mouseReleaseEvent(event);  // shows the button up again
  if (clicks) detail::Reporting([this] { Click(); });
}

void TTimerSpeedButton::RepeatTimerTimer() {
  repeatTimer_->SetInterval(kRepeatMs);
  if (!isDown() || QWidget::mouseGrabber() != this) return;
  try {
    Click();
  } catch (...) {
    // The report that follows is a modal box: a button still holding the mouse would steal it.
    EndPress();
    setDown(false);
    throw;
  }
}

void TTimerSpeedButton::EndPress() {
  if (repeatTimer_) repeatTimer_->SetEnabled(false);
  if (QWidget::mouseGrabber() == this) releaseMouse();
}

void TTimerSpeedButton::hideEvent(QHideEvent* event) {
  EndPress();
  setDown(false);
  QAbstractButton::hideEvent(event);
}

void TTimerSpeedButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange && !isEnabled()) {
    EndPress();
    setDown(false);
  }
  QAbstractButton::changeEvent(event);
}

QPixmap TTimerSpeedButton::StateImage() const {
  if (glyph_.isNull()) return {};
  int width = glyph_.width() / numGlyphs_;
  int index = 0;
  if (!isEnabled() && numGlyphs_ > 1)
    index = 1;
  else if (isDown() && numGlyphs_ > 2)
    index = 2;
  QRgb transparent = glyph_.pixel(0, glyph_.height() - 1);
  QImage image =
      glyph_.copy(index * width, 0, width, glyph_.height()).convertToFormat(QImage::Format_ARGB32);
  // Without an image of its own, a disabled glyph is drawn in the disabled text colour.
  bool gray = !isEnabled() && numGlyphs_ == 1;
  QRgb grayColour = palette().color(QPalette::Disabled, QPalette::ButtonText).rgba();
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if ((line[x] | 0xff000000u) == (transparent | 0xff000000u))
        line[x] = 0;
      else if (gray)
        line[x] = grayColour;
    }
  }
  return QPixmap::fromImage(image);
}

void TTimerSpeedButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionButton face;
  face.initFrom(this);
  face.state |= isDown() ? QStyle::State_Sunken : QStyle::State_Raised;
  style()->drawPrimitive(QStyle::PE_PanelButtonCommand, &face, &painter, this);

  int shift = isDown() ? 1 : 0;
  QPixmap image = StateImage();
  if (!image.isNull()) {
    painter.drawPixmap((width() - image.width() + 1) / 2 + shift,
                       (height() - image.height() + 1) / 2 + shift, image);
  }
  if (showFocusRect_) {
    QRect focus = rect().adjusted(3, 3, -4, -4).translated(shift, shift);
    painter.setPen(QPen(palette().color(QPalette::ButtonText), 0, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(focus);
  }
}

// ---- TSpinButton ----

TSpinButton::TSpinButton(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);  // TabStop off
  setAutoFillBackground(true);
  setMinimumWidth(kMinPairWidth);
  auto makeButton = [this] {
    auto* button = new TTimerSpeedButton(this);
    button->SetAutoRepeat(true);
    button->OnMouseDown = [this, button](QObject*, Qt::MouseButton mouseButton,
                                         Qt::KeyboardModifiers, int,
                                         int) { BtnMouseDown(button, mouseButton); };
    button->OnClick = [this, button](QObject*) { BtnClick(button); };
    return button;
  };
  upButton_ = makeButton();
  downButton_ = makeButton();  // made second, so it lies over the shared pixel row
  focusedButton_ = upButton_;
  SetUpGlyph({});
  SetDownGlyph({});
  resize(20, 25);
  AdjustSize();
}

TSpinButton::~TSpinButton() = default;

QImage TSpinButton::UpGlyph() const {
  return upButton_->Glyph();
}

void TSpinButton::SetUpGlyph(const QImage& glyph) {
  upButton_->SetGlyph(glyph.isNull() ? win::LoadBitmapA("SpinUp") : glyph);
}

QImage TSpinButton::DownGlyph() const {
  return downButton_->Glyph();
}

void TSpinButton::SetDownGlyph(const QImage& glyph) {
  downButton_->SetGlyph(glyph.isNull() ? win::LoadBitmapA("SpinDown") : glyph);
}

int TSpinButton::UpNumGlyphs() const {
  return upButton_->NumGlyphs();
}

void TSpinButton::SetUpNumGlyphs(int value) {
  upButton_->SetNumGlyphs(value);
}

int TSpinButton::DownNumGlyphs() const {
  return downButton_->NumGlyphs();
}

void TSpinButton::SetDownNumGlyphs(int value) {
  downButton_->SetNumGlyphs(value);
}

bool TSpinButton::TabStop() const {
  return (focusPolicy() & Qt::TabFocus) != 0;
}

void TSpinButton::SetTabStop(bool value) {
  setFocusPolicy(value ? Qt::TabFocus : Qt::NoFocus);
}

void TSpinButton::BtnMouseDown(TTimerSpeedButton* button, Qt::MouseButton mouseButton) {
  if (mouseButton != Qt::LeftButton) return;
  SetFocusBtn(button);
  QWidget* control = focusControl_;
  if (control && (control->focusPolicy() & Qt::TabFocus) && CanFocus(control) &&
      !control->hasFocus())
    control->setFocus(Qt::MouseFocusReason);
  else if (TabStop() && !hasFocus() && CanFocus(this))
    setFocus(Qt::MouseFocusReason);
}

void TSpinButton::BtnClick(TTimerSpeedButton* button) {
  const TNotifyEvent& event = button == upButton_ ? OnUpClick : OnDownClick;
  if (event) event(this);
}

void TSpinButton::SetFocusBtn(TTimerSpeedButton* button) {
  if (!TabStop() || !CanFocus(this) || button == focusedButton_) return;
  focusedButton_->SetShowFocusRect(false);
  focusedButton_ = button;
  if (hasFocus()) {
    focusedButton_->SetShowFocusRect(true);
    update();
  }
}

void TSpinButton::keyPressEvent(QKeyEvent* event) {
  TTimerSpeedButton* button = nullptr;
  switch (event->key()) {
    case Qt::Key_Space:
      button = focusedButton_;
      break;
    case Qt::Key_Up:
      button = upButton_;
      break;
    case Qt::Key_Down:
      button = downButton_;
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  SetFocusBtn(button);
  detail::Reporting([button] { button->Click(); });
  event->accept();
}

void TSpinButton::focusInEvent(QFocusEvent* event) {
  focusedButton_->SetShowFocusRect(true);
  QWidget::focusInEvent(event);
}

void TSpinButton::focusOutEvent(QFocusEvent* event) {
  focusedButton_->SetShowFocusRect(false);
  QWidget::focusOutEvent(event);
}

void TSpinButton::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  AdjustSize();
}

void TSpinButton::AdjustSize() {
  // The halves share one pixel row, so the pair shows a single line between its arrows.
  int upHeight = height() / 2;
  upButton_->setGeometry(0, 0, width(), upHeight);
  downButton_->setGeometry(0, upHeight - 1, width(), height() - upHeight + 1);
}

}  // namespace ui
