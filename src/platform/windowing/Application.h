#pragma once

// The application object: the Qt application and its event loop, the main form, the
// application's own hidden window with its hooks, and the standard error report.
//
// One exists at a time, made and used on the main thread; it makes that thread the main thread of
// the runtime (rtl/Synchronize.h) and drives the main-thread call queue from the Qt loop, so a
// call queued by any thread wakes the loop and runs there in order, without polling.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QIcon>

#include "platform/windowing/WinTypes.h"
#include "platform/windowing/WindowTable.h"
#include "rtl/Component.h"

class QApplication;
class QMessageBox;

namespace win {

class TForm;
namespace detail {
class MessagePump;
}

// The text the standard error report shows: the message, with a full stop added when its last
// character comes after "." in character order.
std::string ErrorReportText(const std::string& message);

class TApplication : public rtl::TComponent, private detail::WindowHost {
 public:
  // Makes the Qt application unless one exists already (tests make their own).
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // The live application object, or none.
  static TApplication* Instance() { return instance_; }

  // Makes the main form shown (when ShowMainForm) and runs the event loop until Terminate.
  void Run();
  void Terminate();
  bool Terminated() const { return terminated_; }
  // Handles every pending event and posted message, then returns.
  void ProcessMessages();

  const std::string& Title() const { return title_; }
  void SetTitle(std::string title) { title_ = std::move(title); }
  const QIcon& Icon() const { return icon_; }
  void SetIcon(QIcon icon);

  // The first form created.
  TForm* MainForm() const { return mainForm_; }
  bool ShowMainForm() const { return showMainForm_; }
  void SetShowMainForm(bool value) { showMainForm_ = value; }

  // The application's own hidden window, which stands for its taskbar button.
  HWND Handle() const { return handle_; }
  // A hook sees every message the application's window gets, before its own handling; one that
  // returns true has answered the message. Returns a token for UnhookMainWindow.
  using THookMessageEvent = std::function<bool(TMessage&)>;
  int HookMainWindow(THookMessageEvent hook);
  void UnhookMainWindow(int token);

  // Minimizes the application with its main form, or brings it back.
  void Minimize();
  void Restore();
  bool Minimized() const { return minimized_; }

  // An exception that left an event: OnException when set, else the standard error report.
  void HandleException(const std::exception& error);
  // The standard error report: a box, modal to the application, with ErrorReportText of the
  // message, the title as caption, an OK button and an error icon. It returns at once; while the
  // box is open, further reports are dropped, so a failure that repeats every second shows one
  // box, and the next failure after the user closed it shows the next.
  void ShowException(const std::exception& error);
  std::function<void(const std::exception&)> OnException;

  // Tests: see each report instead of a modal box (an empty function restores the box).
  using ErrorReportSeam = std::function<void(const std::string& caption, const std::string& text)>;
  void SetErrorReportSeam(ErrorReportSeam seam) { errorReportSeam_ = std::move(seam); }
  bool ReportOpen() const { return reportOpen_; }

  // Forms report here as they come and go, so that the first one becomes the main form.
  void FormCreated(TForm* form);
  void FormDestroyed(TForm* form);
  // The main form was shown: the application's window (its taskbar button) shows with it.
  void MainFormShown() { windowVisible_ = true; }

 private:
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

  // detail::WindowHost, for the application's window.
  bool HostVisible() const override { return windowVisible_; }
  void HostShow(int command) override;
  void HostToForeground() override;

  static TApplication* instance_;

  std::unique_ptr<QApplication> ownQt_;
  std::unique_ptr<detail::MessagePump> pump_;
  HWND handle_ = kNoWindow;
  bool windowVisible_ = false;
  std::vector<std::pair<int, THookMessageEvent>> hooks_;
  int lastHookToken_ = 0;
  TForm* mainForm_ = nullptr;
  std::string title_;
  QIcon icon_;
  bool showMainForm_ = true;
  bool terminated_ = false;
  bool minimized_ = false;
  bool reportOpen_ = false;
  std::unique_ptr<QMessageBox> openReport_;  // the error report on screen, if any
  ErrorReportSeam errorReportSeam_;
};

// The live application object; raises when there is none.
TApplication& Application();

}  // namespace win
