#pragma once

// The standard controls a stored layout places: memos, labels and panels, as Qt widgets that
// speak in the runtime's terms (text as bytes, line lists, OnChange). Main thread only.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>

namespace win {

// A multi-line text pane. Like a terminal, it follows its newest line, at any size, until the user
// scrolls up (with the wheel or the keys), and follows again once scrolled back to the end.
class TMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TMemo(QWidget* parent = nullptr);

  // The number of lines; an empty pane has none.
  int LineCount() const;
  // The text's length, a line break counted as one.
  std::size_t TextLength() const;
  // Appends text as new lines: its CR LF, CR and LF bytes break lines. Bytes are shown as UTF-8;
  // control bytes and what is not UTF-8 show as placeholders (rtl::PaneText).
  void Add(const std::string& text);
  // Appends text already in the pane's form (rtl::PaneText), as one change however many lines.
  void AddPaneText(const std::string& text);
  void Clear() { clear(); }
  std::string Text() const { return toPlainText().toStdString(); }

  // The pane's window always exists under Qt; this keeps the call where the program asks for it.
  void HandleNeeded() {}

  // Every change of the text, whoever makes it.
  std::function<void(TMemo* Sender)> OnChange;

  // The height that shows `lines` whole lines of text, frame and margins included.
  int HeightFor(int lines) const;
  // Whether the pane keeps its newest line in view.
  bool Following() const { return following_; }

 protected:
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FollowEnd();
  // After the user moved the view: it follows again from the end only.
  void UserScrolled();

  bool following_ = true;
  bool userScrolling_ = false;
};

// Labels size themselves to their caption, up to their maximum width: a caption wider than that
// shows shortened in the middle (whole in its tip), so it never runs under a control beside it.
class TLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TLabel(QWidget* parent = nullptr) : QLabel(parent) {}
  std::string Caption() const { return (caption_ ? *caption_ : text()).toStdString(); }
  void SetCaption(const std::string& caption);
  void SetMaxWidth(int width);

 private:
  void Fit();

  std::optional<QString> caption_;  // none: the text the layout gave
};

// A raised panel that holds other controls.
class TPanel : public QFrame {
  Q_OBJECT

 public:
  explicit TPanel(QWidget* parent = nullptr) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
  }
};

}  // namespace win
