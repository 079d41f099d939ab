#include "platform/windowing/Form.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

#include <xcb/xcb.h>

#include "platform/windowing/Application.h"
#include "platform/windowing/MessagePump.h"
#include "platform/windowing/Windows.h"

namespace win {
namespace {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection,
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

}  // namespace

TForm::TForm(rtl::TComponent* owner) : QWidget(nullptr), rtl::TComponent(owner) {
  auto procedure =
      std::make_shared<const WindowProcedure>([this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
        TMessage message{msg, wParam, lParam, 0};
        WndProc(message);
        return message.Result;
      });
  handle_ = detail::RegisterWindow(std::move(procedure), this);
  if (TApplication* app = TApplication::Instance()) app->FormCreated(this);
}

TForm::~TForm() {
  // Components may still talk to the window while they go.
  DestroyComponents();
  if (TApplication* app = TApplication::Instance()) app->FormDestroyed(this);
  detail::UnregisterWindow(handle_);
}

void TForm::FinishCreation() {
  for (int i = 0; i < ComponentCount(); ++i)
    Components(i)->Loaded();
  if (OnCreate) OnCreate(this);
}

std::string TForm::Caption() const {
  return windowTitle().toStdString();
}

void TForm::SetCaption(const std::string& caption) {
  setWindowTitle(QString::fromStdString(caption));
}

void TForm::SetVisible(bool visible) {
  setVisible(visible);
}

TWindowState TForm::WindowState() const {
  Qt::WindowStates states = windowState();
  if (states.testFlag(Qt::WindowMinimized)) return wsMinimized;
  if (states.testFlag(Qt::WindowMaximized)) return wsMaximized;
  return wsNormal;
}

void TForm::SetWindowState(TWindowState state) {
  if (state == WindowState()) return;
  if (state == wsMinimized) {
    // Minimizing goes the way a user's minimize goes, so the main form takes the application
    // with it.
    Perform(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    return;
  }
  Qt::WindowStates states = windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
  if (state == wsMaximized) states |= Qt::WindowMaximized;
  ApplyWindowState(states);
}

void TForm::SetFormStyle(TFormStyle style) {
  if (style == formStyle_) return;
  formStyle_ = style;
  bool wasVisible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, style == fsStayOnTop);
  if (wasVisible) show();  // changing flags hides a shown window
}

LRESULT TForm::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
  return SendMessageA(handle_, msg, wParam, lParam);
}

void TForm::WndProc(TMessage& message) {
  if (message.Msg != WM_SYSCOMMAND) return;
  if (message.WParam == SC_MINIMIZE) {
    if (IsMainForm())
      TApplication::Instance()->Minimize();
    else if (!isMinimized())
      ApplyWindowState(windowState() | Qt::WindowMinimized);
  } else if (message.WParam == SC_RESTORE) {
    if (IsMainForm() && TApplication::Instance()->Minimized())
      TApplication::Instance()->Restore();
    else if (isMinimized())
      ApplyWindowState(windowState() & ~Qt::WindowMinimized);
  }
}

void TForm::setVisible(bool visible) {
  QWidget::setVisible(visible);
  if (visible && formStyle_ == fsStayOnTop) AskToStayOnTop();
}

// The request follows the map on the same connection, so the window manager has taken the window
// on by the time it reads it.
void TForm::AskToStayOnTop() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection || !windowHandle()) return;
  const auto window = static_cast<xcb_window_t>(winId());
  xcb_query_tree_reply_t* tree =
      xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
  if (!tree) return;
  const xcb_window_t root = tree->root;
  std::free(tree);
  xcb_client_message_event_t request = {};
  request.response_type = XCB_CLIENT_MESSAGE;
  request.format = 32;
  request.window = window;
  request.type = Atom(connection, "_NET_WM_STATE");
  request.data.data32[0] = 1;  // add
  request.data.data32[1] = Atom(connection, "_NET_WM_STATE_ABOVE");
  request.data.data32[3] = 1;  // from an application
  xcb_send_event(connection, 0, root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&request));
  xcb_flush(connection);
}

void TForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || applyingState_) return;
  auto* change = static_cast<QWindowStateChangeEvent*>(event);
  bool was = change->oldState().testFlag(Qt::WindowMinimized);
  bool now = isMinimized();
  if (now == was) return;
  detail::DeliverFromLoop([&] { Perform(WM_SYSCOMMAND, now ? SC_MINIMIZE : SC_RESTORE, 0); });
}

void TForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  KeepOnScreen();
  if (IsMainForm()) TApplication::Instance()->MainFormShown();
  detail::DeliverFromLoop([&] { Perform(WM_SHOWWINDOW, 1, 0); });
}

void TForm::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;
  detail::DeliverFromLoop([&] { Perform(WM_SHOWWINDOW, 0, 0); });
}

void TForm::closeEvent(QCloseEvent* event) {
  event->accept();
  if (IsMainForm()) TApplication::Instance()->Terminate();
}

void TForm::KeepOnScreen() {
  if (isMinimized() || isMaximized() || isFullScreen()) return;
  const QScreen* screen = QGuiApplication::screenAt(frameGeometry().center());
  if (!screen) screen = this->screen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  QRect frame = frameGeometry();
  // Until the window manager has framed the window once, its frame is not known: room is left
  // for a usual one.
  if (frame.size() == size()) frame.setSize(size() + QSize(2 * 8, 32 + 8));
  const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
  const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
  if (x != frame.left() || y != frame.top()) move(x, y);
}

bool TForm::IsMainForm() const {
  TApplication* app = TApplication::Instance();
  return app && app->MainForm() == this;
}

void TForm::ApplyWindowState(Qt::WindowStates states) {
  bool outer = applyingState_;
  applyingState_ = true;
  if (states.testFlag(Qt::WindowMinimized) && isVisible())
    showMinimized();
  else
    setWindowState(states);
  applyingState_ = outer;
}

void TForm::HostShow(int command) {
  switch (command) {
    case SW_HIDE:
      setVisible(false);
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      SetWindowState(wsMinimized);
      break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
      SetWindowState(wsNormal);
      setVisible(true);
      break;
    default:
      setVisible(true);
      break;
  }
}

void TForm::HostToForeground() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

}  // namespace win
