#pragma once

// Types and numbers of the Windows-shaped windowing interface the window components are written
// against (see Windows.h). Message and command numbers are Windows' own, so the components can
// name them as they would there.

#include <cstdint>
#include <functional>
#include <memory>

namespace win {

// Window handles are this layer's own numbers; 0 means none.
using HWND = std::uint32_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using DWORD = std::uint32_t;
using BOOL = int;

constexpr HWND kNoWindow = 0;

// A window procedure. Windows keep theirs behind a shared pointer so that a procedure that
// replaces itself while it runs stays alive until it returns.
using WindowProcedure = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
using WNDPROC = std::shared_ptr<const WindowProcedure>;

// A procedure that is a method of some object: it sees the message as a record it may answer.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage&)>;

// Messages.
constexpr UINT WM_NULL = 0;
constexpr UINT WM_DESTROY = 2;
constexpr UINT WM_SIZE = 5;
constexpr UINT WM_CLOSE = 16;
constexpr UINT WM_QUERYENDSESSION = 17;
constexpr UINT WM_QUIT = 18;
constexpr UINT WM_ENDSESSION = 22;
constexpr UINT WM_SHOWWINDOW = 24;
constexpr UINT WM_WINDOWPOSCHANGED = 71;
constexpr UINT WM_CONTEXTMENU = 123;
constexpr UINT WM_NCDESTROY = 130;
constexpr UINT WM_SYSCOMMAND = 274;
constexpr UINT WM_TIMER = 275;
constexpr UINT WM_MOUSEMOVE = 512;
constexpr UINT WM_LBUTTONDOWN = 513;
constexpr UINT WM_LBUTTONUP = 514;
constexpr UINT WM_LBUTTONDBLCLK = 515;
constexpr UINT WM_RBUTTONDOWN = 516;
constexpr UINT WM_RBUTTONUP = 517;
constexpr UINT WM_RBUTTONDBLCLK = 518;
constexpr UINT WM_MBUTTONDOWN = 519;
constexpr UINT WM_MBUTTONUP = 520;
constexpr UINT WM_USER = 1024;
// Registered messages are numbered from here up.
constexpr UINT kFirstRegisteredMessage = 0xC000;

// WM_SIZE size types, WM_SHOWWINDOW statuses, WM_SYSCOMMAND commands.
constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;
constexpr LPARAM SW_PARENTCLOSING = 1;
constexpr LPARAM SW_PARENTOPENING = 3;
constexpr WPARAM SC_MINIMIZE = 61472;
constexpr WPARAM SC_RESTORE = 61728;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

// Virtual keys for GetAsyncKeyState.
constexpr int VK_SHIFT = 16;
constexpr int VK_CONTROL = 17;
constexpr int VK_MENU = 18;

// MessageBeep types.
constexpr UINT MB_OK = 0;
constexpr UINT MB_ICONHAND = 0x10;

constexpr int GWL_WNDPROC = -4;

struct POINT {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

}  // namespace win
