#pragma once

// A form: a top-level Qt widget that is also a component and a window of the runtime, with a
// replaceable window procedure. Derived forms build their controls from a Qt Designer layout.
//
// Qt's window-state and show/hide changes reach the form's procedure (and, for the main form,
// the application's hooks) as the messages a Windows form would get:
// - minimized by the user or the window manager: WM_SYSCOMMAND with SC_MINIMIZE, whose default
//   handling minimizes the application when this is the main form (Application.h);
// - brought back from minimized: WM_SYSCOMMAND with SC_RESTORE;
// - shown or hidden by the program: WM_SHOWWINDOW with 1 or 0 and status 0.
// Closing the main form terminates the application. A form being shown is moved, as far as it
// takes, into the available area of the screen it is on (it is never made smaller for it). A
// stay-on-top form asks the window manager to keep it above others at every show: some forget it
// when a window is hidden and shown again, although its state still says so.

#include <functional>
#include <string>

#include <QWidget>

#include "platform/windowing/WinTypes.h"
#include "platform/windowing/WindowTable.h"
#include "rtl/Component.h"

namespace win {

enum TWindowState { wsNormal, wsMinimized, wsMaximized };
enum TFormStyle { fsNormal, fsMDIChild, fsMDIForm, fsStayOnTop };

class TForm : public QWidget, public rtl::TComponent, private detail::WindowHost {
 public:
  explicit TForm(rtl::TComponent* owner);
  ~TForm() override;

  HWND Handle() const { return handle_; }

  std::string Caption() const;
  void SetCaption(const std::string& caption);
  bool Visible() const { return isVisible(); }
  void SetVisible(bool visible);
  TWindowState WindowState() const;
  void SetWindowState(TWindowState state);
  TFormStyle FormStyle() const { return formStyle_; }
  void SetFormStyle(TFormStyle style);

  // Sends a message through the form's installed procedure.
  LRESULT Perform(UINT msg, WPARAM wParam, LPARAM lParam);

  using TFormNotifyEvent = std::function<void(TForm* Sender)>;
  TFormNotifyEvent OnCreate;

 protected:
  // Derived forms call this at the end of their constructor: every owned component hears that
  // loading has finished, then OnCreate runs.
  void FinishCreation();
  // The form's own handling, behind any procedure installed in its place.
  virtual void WndProc(TMessage& message);

  void setVisible(bool visible) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool IsMainForm() const;
  void KeepOnScreen();
  void AskToStayOnTop();
  // Changes Qt's window state without reporting it back as a user's minimize or restore.
  void ApplyWindowState(Qt::WindowStates states);

  bool HostVisible() const override { return isVisible(); }
  void HostShow(int command) override;
  void HostToForeground() override;

  HWND handle_ = kNoWindow;
  TFormStyle formStyle_ = fsNormal;
  bool applyingState_ = false;
};

}  // namespace win
