#pragma once

// The window functions of the Windows-shaped runtime, provided over Qt 6.
//
// Contract:
// - Everything here runs on the main thread only, except PostMessageA, which any thread may call.
// - A window is a number with a procedure. Utility windows (AllocateHWnd) are hidden and have no
//   widget; forms (Form.h) register their widget's window here as well.
// - SendMessageA calls the window's procedure at once; PostMessageA and timer expiries are
//   delivered later by the Qt event loop on the main thread, in the order they were posted. A
//   message for a window that has been destroyed meanwhile is dropped.
// - SetTimer on a window delivers WM_TIMER with the timer's identifier to the window's procedure
//   every period; setting an identifier again restarts it with the new period. Destroying a
//   window kills its timers. An expiry allocates nothing.
// - An exception that leaves a procedure called from the event loop goes to the application's
//   standard error report (Application.h); one that leaves a SendMessageA reaches its caller.

#include <cstdint>
#include <functional>
#include <string>

#include <QImage>

#include "platform/windowing/WinTypes.h"

namespace win {

// A hidden utility window whose procedure is `method` (a method of some object).
HWND AllocateHWnd(TWndMethod method);
// Destroys a window made by AllocateHWnd; its timers go with it. Unknown numbers are ignored.
void DeallocateHWnd(HWND window);
bool IsWindow(HWND window);

// The default answer: 0 for every message.
LRESULT DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// False when the window does not exist. Safe from any thread.
bool PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// The same name always gives the same number, from 0xC000 up; 0 for an empty name.
UINT RegisterWindowMessageA(const std::string& name);

// Only GWL_WNDPROC is supported; other indexes give (and change) nothing.
WNDPROC GetWindowLongA(HWND window, int index);
// Installs `procedure` and returns the one it replaces.
WNDPROC SetWindowLongA(HWND window, int index, WNDPROC procedure);
LRESULT CallWindowProcA(const WNDPROC& procedure, HWND window, UINT msg, WPARAM wParam,
                        LPARAM lParam);

// Returns the identifier, or 0 when the window does not exist. Periods below 10 ms are raised to
// 10 ms, as Windows does.
std::uintptr_t SetTimer(HWND window, std::uintptr_t id, UINT periodMs);
// False when no such timer runs.
bool KillTimer(HWND window, std::uintptr_t id);

bool GetCursorPos(POINT& point);
// The high bit (0x8000) is set while the key is down; only Shift, Ctrl and Alt are known.
std::int16_t GetAsyncKeyState(int virtualKey);
UINT GetDoubleClickTime();

// For a form: raise and activate it. For the application's window: its main form.
bool SetForegroundWindow(HWND window);
// Shows, hides, minimizes or restores a window; returns whether it was visible before.
bool ShowWindow(HWND window, int command);
bool IsWindowVisible(HWND window);
// A real beep through the desktop, or a call of the beep seam when one is set.
bool MessageBeep(UINT type);
// Tests: hear each beep as a call instead (an empty function restores the sound).
void SetBeepSeam(std::function<void(UINT type)> seam);
// A bitmap compiled into the program under that name; a null image when there is none.
QImage LoadBitmapA(const std::string& name);

}  // namespace win
