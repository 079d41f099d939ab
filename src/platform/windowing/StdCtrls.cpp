#include "platform/windowing/StdCtrls.h"

#include <QScrollBar>
#include <QTextBlock>

#include "rtl/UpdateBatch.h"

namespace win {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  // A log nobody edits: an undo history would keep a copy of everything ever appended.
  setUndoRedoEnabled(false);
  connect(this, &QPlainTextEdit::textChanged, this, [this] {
    if (OnChange) OnChange(this);
  });
  // The range changes with the text and the size; Qt itself scrolls to the cursor on the first
  // show and whenever it thinks the end was out of view. Neither moves a pane that follows.
  QScrollBar* bar = verticalScrollBar();
  connect(bar, &QScrollBar::rangeChanged, this, [this] { FollowEnd(); });
  connect(bar, &QScrollBar::valueChanged, this, [this] { FollowEnd(); });
}

int TMemo::HeightFor(int lines) const {
  const auto margins = static_cast<int>(2 * document()->documentMargin());
  return lines * fontMetrics().lineSpacing() + margins + 2 * frameWidth() + 1;
}

void TMemo::FollowEnd() {
  QScrollBar* bar = verticalScrollBar();
  if (following_ && !userScrolling_ && bar->value() != bar->maximum())
    bar->setValue(bar->maximum());
}

void TMemo::UserScrolled() {
  const QScrollBar* bar = verticalScrollBar();
  following_ = bar->value() >= bar->maximum();
}

void TMemo::wheelEvent(QWheelEvent* event) {
  userScrolling_ = true;
  QPlainTextEdit::wheelEvent(event);
  userScrolling_ = false;
  UserScrolled();
}

void TMemo::keyPressEvent(QKeyEvent* event) {
  userScrolling_ = true;
  QPlainTextEdit::keyPressEvent(event);
  userScrolling_ = false;
  UserScrolled();
}

int TMemo::LineCount() const {
  return document()->isEmpty() ? 0 : document()->blockCount();
}

std::size_t TMemo::TextLength() const {
  // Every line counts its break, the last one too.
  return document()->isEmpty() ? 0 : static_cast<std::size_t>(document()->characterCount());
}

void TMemo::Add(const std::string& text) {
  AddPaneText(rtl::PaneText(text, std::string::npos));
}

void TMemo::AddPaneText(const std::string& text) {
  appendPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void TLabel::SetCaption(const std::string& caption) {
  caption_ = QString::fromStdString(caption);
  Fit();
}

void TLabel::SetMaxWidth(int width) {
  if (!caption_) caption_ = text();
  setMaximumWidth(width);
  Fit();
}

void TLabel::Fit() {
  const QString& full = *caption_;
  const int room = maximumWidth() - 2 * margin();
  const QString shown = fontMetrics().horizontalAdvance(full) <= room
                            ? full
                            : fontMetrics().elidedText(full, Qt::ElideMiddle, room);
  setText(shown);
  setToolTip(shown == full ? QString() : full);
  adjustSize();
}

}  // namespace win
