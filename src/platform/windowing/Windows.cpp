#include "platform/windowing/Windows.h"

#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QStyleHints>

#include "platform/windowing/MessagePump.h"
#include "platform/windowing/WindowTable.h"

namespace win {
namespace detail {
namespace {

struct WindowRecord {
  WNDPROC procedure;
  WindowHost* host = nullptr;
};

// Main thread only, like every window.
struct WindowTable {
  std::unordered_map<HWND, WindowRecord> windows;
  HWND lastNumber = 0;
};

// Never destroyed: timers and icons freed at process exit still unregister their windows.
WindowTable& Table() {
  static WindowTable* table = new WindowTable;
  return *table;
}

const WindowRecord* Find(HWND window) {
  auto& windows = Table().windows;
  auto found = windows.find(window);
  return found == windows.end() ? nullptr : &found->second;
}

}  // namespace

HWND RegisterWindow(WNDPROC procedure, WindowHost* host) {
  WindowTable& table = Table();
  // Numbers only count up, so a message posted to a destroyed window never reaches a new one.
  HWND number = ++table.lastNumber;
  table.windows.emplace(number, WindowRecord{std::move(procedure), host});
  return number;
}

void UnregisterWindow(HWND window) {
  if (Table().windows.erase(window) == 0) return;
  if (MessagePump* pump = MessagePump::Instance()) pump->KillTimersOf(window);
}

WindowHost* HostOf(HWND window) {
  const WindowRecord* record = Find(window);
  return record ? record->host : nullptr;
}

void BroadcastMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  std::vector<HWND> windows;
  for (const auto& [number, record] : Table().windows)
    windows.push_back(number);
  for (HWND window : windows)
    if (IsWindow(window)) SendMessageA(window, msg, wParam, lParam);
}

}  // namespace detail

HWND AllocateHWnd(TWndMethod method) {
  auto procedure = std::make_shared<const WindowProcedure>(
      [method = std::move(method)](HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
        TMessage message{msg, wParam, lParam, 0};
        method(message);
        return message.Result;
      });
  return detail::RegisterWindow(std::move(procedure), nullptr);
}

void DeallocateHWnd(HWND window) {
  detail::UnregisterWindow(window);
}

bool IsWindow(HWND window) {
  return detail::Find(window) != nullptr;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  const detail::WindowRecord* record = detail::Find(window);
  if (!record || !record->procedure) return 0;
  WNDPROC procedure = record->procedure;  // stays alive if it replaces itself
  return (*procedure)(window, msg, wParam, lParam);
}

bool PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (window == kNoWindow) return false;
  return detail::MessagePump::Post(window, msg, wParam, lParam);
}

UINT RegisterWindowMessageA(const std::string& name) {
  if (name.empty()) return 0;
  static std::map<std::string, UINT> registered;
  auto [it, added] =
      registered.try_emplace(name, kFirstRegisteredMessage + static_cast<UINT>(registered.size()));
  return it->second;
}

WNDPROC GetWindowLongA(HWND window, int index) {
  const detail::WindowRecord* record = detail::Find(window);
  if (!record || index != GWL_WNDPROC) return nullptr;
  return record->procedure;
}

WNDPROC SetWindowLongA(HWND window, int index, WNDPROC procedure) {
  auto& windows = detail::Table().windows;
  auto found = windows.find(window);
  if (found == windows.end() || index != GWL_WNDPROC) return nullptr;
  return std::exchange(found->second.procedure, std::move(procedure));
}

LRESULT CallWindowProcA(const WNDPROC& procedure, HWND window, UINT msg, WPARAM wParam,
                        LPARAM lParam) {
  return procedure ? (*procedure)(window, msg, wParam, lParam)
                   : DefWindowProcA(window, msg, wParam, lParam);
}

std::uintptr_t SetTimer(HWND window, std::uintptr_t id, UINT periodMs) {
  detail::MessagePump* pump = detail::MessagePump::Instance();
  return pump ? pump->SetTimer(window, id, periodMs) : 0;
}

bool KillTimer(HWND window, std::uintptr_t id) {
  detail::MessagePump* pump = detail::MessagePump::Instance();
  return pump && pump->KillTimer(window, id);
}

bool GetCursorPos(POINT& point) {
  QPoint at = QCursor::pos();
  point.x = at.x();
  point.y = at.y();
  return true;
}

std::int16_t GetAsyncKeyState(int virtualKey) {
  Qt::KeyboardModifier modifier;
  switch (virtualKey) {
    case VK_SHIFT:
      modifier = Qt::ShiftModifier;
      break;
    case VK_CONTROL:
      modifier = Qt::ControlModifier;
      break;
    case VK_MENU:
      modifier = Qt::AltModifier;
      break;
    default:
      return 0;
  }
  bool down = QGuiApplication::queryKeyboardModifiers().testFlag(modifier);
  return down ? static_cast<std::int16_t>(0x8000) : 0;
}

UINT GetDoubleClickTime() {
  return static_cast<UINT>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
}

bool SetForegroundWindow(HWND window) {
  detail::WindowHost* host = detail::HostOf(window);
  if (!host) return false;
  host->HostToForeground();
  return true;
}

bool ShowWindow(HWND window, int command) {
  detail::WindowHost* host = detail::HostOf(window);
  if (!host) return false;
  bool wasVisible = host->HostVisible();
  host->HostShow(command);
  return wasVisible;
}

bool IsWindowVisible(HWND window) {
  detail::WindowHost* host = detail::HostOf(window);
  return host && host->HostVisible();
}

namespace {
std::function<void(UINT)>& BeepSeam() {
  static std::function<void(UINT)> seam;
  return seam;
}
}  // namespace

bool MessageBeep(UINT type) {
  if (BeepSeam())
    BeepSeam()(type);
  else
    QApplication::beep();
  return true;
}

void SetBeepSeam(std::function<void(UINT)> seam) {
  BeepSeam() = std::move(seam);
}

QImage LoadBitmapA(const std::string& name) {
  return QImage(QStringLiteral(":/bitmaps/%1.bmp").arg(QString::fromStdString(name)));
}

}  // namespace win
