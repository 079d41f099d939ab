#include "platform/windowing/Application.h"

#include <algorithm>

#include <QApplication>
#include <QMessageBox>

#include "platform/windowing/Form.h"
#include "platform/windowing/MessagePump.h"
#include "platform/windowing/Windows.h"
#include "rtl/Exception.h"
#include "rtl/Synchronize.h"

namespace win {

TApplication* TApplication::instance_ = nullptr;

std::string ErrorReportText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

TApplication::TApplication(int& argc, char** argv) : rtl::TComponent(nullptr) {
  if (!QApplication::instance()) ownQt_ = std::make_unique<QApplication>(argc, argv);
  // The main form goes to the notification area instead of closing the program when hidden.
  QApplication::setQuitOnLastWindowClosed(false);
  rtl::SetMainThread();
  instance_ = this;
  pump_ = std::make_unique<detail::MessagePump>();
  title_ = QCoreApplication::applicationName().toStdString();
  auto procedure =
      std::make_shared<const WindowProcedure>([this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
        return WindowProc(msg, wParam, lParam);
      });
  handle_ = detail::RegisterWindow(std::move(procedure), this);
}

TApplication::~TApplication() {
  openReport_.reset();
  DestroyComponents();  // forms first: they still use the application while they go
  detail::UnregisterWindow(handle_);
  pump_.reset();
  instance_ = nullptr;
}

void TApplication::Run() {
  if (showMainForm_ && mainForm_) mainForm_->SetVisible(true);
  SendMessageA(handle_, WM_WINDOWPOSCHANGED, 0, 0);
  if (!terminated_) QApplication::exec();
}

void TApplication::Terminate() {
  terminated_ = true;
  QCoreApplication::exit(0);
}

void TApplication::ProcessMessages() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::SetIcon(QIcon icon) {
  icon_ = std::move(icon);
  QApplication::setWindowIcon(icon_);
}

int TApplication::HookMainWindow(THookMessageEvent hook) {
  hooks_.emplace_back(++lastHookToken_, std::move(hook));
  return lastHookToken_;
}

void TApplication::UnhookMainWindow(int token) {
  std::erase_if(hooks_, [token](const auto& entry) { return entry.first == token; });
}

LRESULT TApplication::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  TMessage message{msg, wParam, lParam, 0};
  // A copy: a hook may unhook itself or others while it runs.
  auto hooks = hooks_;
  for (auto& [token, hook] : hooks)
    if (hook(message)) return message.Result;
  return DefWindowProcA(handle_, msg, wParam, lParam);
}

void TApplication::Minimize() {
  if (minimized_) return;
  minimized_ = true;
  if (mainForm_) {
    if (mainForm_->Visible()) mainForm_->Perform(WM_SHOWWINDOW, 0, SW_PARENTCLOSING);
    if (mainForm_->WindowState() != wsMinimized && mainForm_->Visible()) mainForm_->showMinimized();
  }
  SendMessageA(handle_, WM_WINDOWPOSCHANGED, 0, 0);
  SendMessageA(handle_, WM_SIZE, SIZE_MINIMIZED, 0);
}

void TApplication::Restore() {
  if (!minimized_) return;
  minimized_ = false;
  SendMessageA(handle_, WM_WINDOWPOSCHANGED, 0, 0);
  SendMessageA(handle_, WM_SIZE, SIZE_RESTORED, 0);
  if (mainForm_ && mainForm_->Visible()) {
    mainForm_->SetWindowState(wsNormal);
    mainForm_->Perform(WM_SHOWWINDOW, 1, SW_PARENTOPENING);
  }
}

void TApplication::HandleException(const std::exception& error) {
  if (OnException)
    OnException(error);
  else
    ShowException(error);
}

void TApplication::ShowException(const std::exception& error) {
  if (reportOpen_) return;
  std::string text = ErrorReportText(error.what());
  if (errorReportSeam_) {
    reportOpen_ = true;
    struct Closed {
      bool& open;
      ~Closed() { open = false; }
    } closed{reportOpen_};
    errorReportSeam_(title_, text);
    return;
  }
  // Modal to the whole application, yet without a loop of its own: a nested loop would hold
  // up the very timer whose failure it reports, so a retry could never succeed meanwhile.
  openReport_ = std::make_unique<QMessageBox>(QMessageBox::Critical, QString::fromStdString(title_),
                                              QString::fromStdString(text), QMessageBox::Ok);
  QMessageBox* box = openReport_.get();
  box->setWindowModality(Qt::ApplicationModal);
  // Closed: the box is still inside its own signal, so it goes once control is back in the loop.
  QObject::connect(box, &QMessageBox::finished, box, [this, box] {
    reportOpen_ = false;
    if (openReport_.get() == box) openReport_.release()->deleteLater();
  });
  reportOpen_ = true;
  box->open();
}

void TApplication::FormCreated(TForm* form) {
  if (!mainForm_) mainForm_ = form;
}

void TApplication::FormDestroyed(TForm* form) {
  if (mainForm_ == form) mainForm_ = nullptr;
}

void TApplication::HostShow(int command) {
  switch (command) {
    case SW_HIDE:
      windowVisible_ = false;
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      Minimize();
      break;
    case SW_RESTORE:
      Restore();
      break;
    default:
      windowVisible_ = true;
      break;
  }
}

void TApplication::HostToForeground() {
  if (mainForm_ && mainForm_->Visible()) {
    mainForm_->raise();
    mainForm_->activateWindow();
  }
}

TApplication& Application() {
  if (!TApplication::Instance()) throw Exception("No application object exists.");
  return *TApplication::Instance();
}

}  // namespace win
