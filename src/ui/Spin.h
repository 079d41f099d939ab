#pragma once

// TSpinEdit: a one-line edit for an integer with an up and down button pair at its right edge.
//
// Contract:
// - Main thread only, like every widget.
// - The text is never held within MinValue..MaxValue while the user types: Value reads whatever
//   integer is there (MinValue when there is none). The box corrects the text when the focus
//   moves to another control, when its window loses activation or is hidden or minimized, and
//   whenever a button or arrow key steps the value; a text that is not an integer then gives way
//   to the value it stands for, MinValue.
// - With bounds, the box is never narrower than its widest value needs in its font.
// - OnChange fires once for every change of the text, whoever makes it, and never when the text
//   stays the same. Qt cannot carry an exception out of a text change, so what OnChange raises
//   goes to the application's error report.
// - Every refusal (a refused character, a step while ReadOnly) beeps through win::MessageBeep.

#include <QLineEdit>

#include "ui/SpinButton.h"

namespace ui {

class TSpinEdit : public QLineEdit {
  Q_OBJECT
  // For layouts made in Qt Designer (properties there need stdset="0").
  Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
  Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
  Q_PROPERTY(int Increment READ Increment WRITE SetIncrement)
  Q_PROPERTY(bool EditorEnabled READ EditorEnabled WRITE SetEditorEnabled)
  Q_PROPERTY(bool AutoSelect READ AutoSelect WRITE SetAutoSelect)
  Q_PROPERTY(int Value READ Value WRITE SetValue)

 public:
  explicit TSpinEdit(QWidget* parent = nullptr);
  ~TSpinEdit() override;

  int MinValue() const { return minValue_; }
  void SetMinValue(int value);
  // When it equals MinValue, no bound applies at all.
  int MaxValue() const { return maxValue_; }
  void SetMaxValue(int value);
  int Increment() const { return increment_; }
  void SetIncrement(int value) { increment_ = value; }
  // Off: the keyboard cannot change the text, the buttons and arrow keys still step.
  bool EditorEnabled() const { return editorEnabled_; }
  void SetEditorEnabled(bool value);
  bool ReadOnly() const { return isReadOnly(); }
  void SetReadOnly(bool value) { setReadOnly(value); }
  bool AutoSelect() const { return autoSelect_; }
  void SetAutoSelect(bool value) { autoSelect_ = value; }

  // The text as a 32-bit integer, not clamped; MinValue when the text is not an integer.
  int Value() const;
  // Writes ClampValue(value) as decimal text.
  void SetValue(int value);
  int ClampValue(int value) const;

  // Value plus or minus Increment; only a beep while ReadOnly.
  void StepUp();
  void StepDown();

  // Whether a typed character may reach the text: sign, digit, decimal separator or a control
  // character other than Enter; only control characters other than backspace while the editor is
  // off.
  virtual bool IsAcceptedChar(QChar key) const;

  // The lowest height the box allows for its font.
  int MinHeight() const;
  // The lowest width that shows the widest value within the bounds whole; 0 without bounds.
  int MinWidth() const;

  TSpinButton* Button() const { return button_; }

  TNotifyEvent OnChange;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  bool CanEdit() const { return editorEnabled_ && !isReadOnly(); }
  bool AcceptsText(const QString& text) const;
  // What leaving the box does: an out-of-range value is clamped.
  void EndEdit();
  // Puts the pair at the right edge, inside the frame, and ends the text area short of it.
  void PlaceButton();
  void UpdateMinSize();

  int minValue_ = 0;
  int maxValue_ = 0;
  int increment_ = 1;
  bool editorEnabled_ = true;
  bool autoSelect_ = true;
  TSpinButton* button_;  // a child widget, freed with the box
};

}  // namespace ui
