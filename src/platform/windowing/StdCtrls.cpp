#include "platform/windowing/StdCtrls.h"

#include <QTextBlock>

#include "rtl/UpdateBatch.h"

namespace win {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  // A log nobody edits: an undo history would keep a copy of everything ever appended.
  setUndoRedoEnabled(false);
  connect(this, &QPlainTextEdit::textChanged, this, [this] {
    if (OnChange) OnChange(this);
  });
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
