#pragma once

// The button pair of the spin box: TSpinButton, a small widget holding an up and a down
// TTimerSpeedButton, which repeat their click while held.
//
// Contract:
// - Main thread only, like every widget.
// - A held TTimerSpeedButton with AutoRepeat clicks once after 400 ms, then every 100 ms while it
//   is still shown pressed and still holds the mouse, and once more on release over it. An
//   exception from a repeated click stops the repeating and goes to the application's error
//   report; so does one from any click that Qt's event handling would have to carry.
// - The pair never owns FocusControl; it forgets it when that widget is destroyed.
// - Glyphs are bitmaps whose bottom-left pixel's colour is drawn transparent; NumGlyphs images
//   lie side by side (up, disabled, pressed).

#include <functional>
#include <memory>

#include <QAbstractButton>
#include <QImage>
#include <QPointer>
#include <QWidget>

namespace win {
class TTimer;
}

namespace ui {

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TMouseEvent = std::function<void(QObject* Sender, Qt::MouseButton Button,
                                       Qt::KeyboardModifiers Shift, int X, int Y)>;

class TTimerSpeedButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit TTimerSpeedButton(QWidget* parent = nullptr);
  ~TTimerSpeedButton() override;

  bool ShowFocusRect() const { return showFocusRect_; }
  void SetShowFocusRect(bool value);
  bool AutoRepeat() const { return autoRepeat_; }
  void SetAutoRepeat(bool value) { autoRepeat_ = value; }

  const QImage& Glyph() const { return glyph_; }
  void SetGlyph(const QImage& glyph);
  int NumGlyphs() const { return numGlyphs_; }
  void SetNumGlyphs(int value);

  // Fires OnClick. The press, the repeat timer and the pair's keys all click through here.
  void Click();

  TNotifyEvent OnClick;
  // Fired first on every press, before the button shows itself down.
  TMouseEvent OnMouseDown;

  QSize sizeHint() const override { return {15, 9}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void RepeatTimerTimer();
  // Stops repeating and lets go of the mouse, as when the press is broken off.
  void EndPress();
  // The image for the current state, with the transparent colour taken out.
  QPixmap StateImage() const;

  bool showFocusRect_ = false;
  bool autoRepeat_ = false;
  QImage glyph_;
  int numGlyphs_ = 1;
  std::unique_ptr<win::TTimer> repeatTimer_;  // made on first use
};

class TSpinButton : public QWidget {
  Q_OBJECT

 public:
  explicit TSpinButton(QWidget* parent = nullptr);
  ~TSpinButton() override;

  QImage UpGlyph() const;
  // A null image brings back the default arrow.
  void SetUpGlyph(const QImage& glyph);
  QImage DownGlyph() const;
  void SetDownGlyph(const QImage& glyph);
  int UpNumGlyphs() const;
  void SetUpNumGlyphs(int value);
  int DownNumGlyphs() const;
  void SetDownNumGlyphs(int value);

  QWidget* FocusControl() const { return focusControl_; }
  void SetFocusControl(QWidget* control) { focusControl_ = control; }
  // Whether the pair takes the focus by Tab and by a press on its buttons.
  bool TabStop() const;
  void SetTabStop(bool value);

  TTimerSpeedButton* UpButton() const { return upButton_; }
  TTimerSpeedButton* DownButton() const { return downButton_; }
  // The button that space clicks while the pair has the focus.
  TTimerSpeedButton* FocusedButton() const { return focusedButton_; }

  TNotifyEvent OnUpClick;
  TNotifyEvent OnDownClick;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void BtnMouseDown(TTimerSpeedButton* button, Qt::MouseButton mouseButton);
  void BtnClick(TTimerSpeedButton* button);
  void SetFocusBtn(TTimerSpeedButton* button);
  void AdjustSize();

  TTimerSpeedButton* upButton_;
  TTimerSpeedButton* downButton_;
  TTimerSpeedButton* focusedButton_;
  QPointer<QWidget> focusControl_;
};

namespace detail {
// Runs an event handler where Qt would have to carry its exception: what it raises goes to the
// application's error report instead, as from any other event.
void Reporting(const std::function<void()>& call);
}  // namespace detail

}  // namespace ui
