#include "platform/windowing/StdCtrls.h"

#include <QTextBlock>

namespace win {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  connect(this, &QPlainTextEdit::textChanged, this, [this] {
    if (OnChange) OnChange(this);
  });
}

int TMemo::LineCount() const {
  return document()->isEmpty() ? 0 : document()->blockCount();
}

void TMemo::Add(const std::string& text) {
  QString lines = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  if (lines.endsWith(QLatin1Char('\n'))) lines.chop(1);  // the pane ends every line itself
  appendPlainText(lines);
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
