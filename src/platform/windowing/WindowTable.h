#pragma once

// The windows of the runtime: numbers, procedures, and what stands behind each (internal to the
// windowing layer).

#include <QWidget>

#include "platform/windowing/WinTypes.h"

namespace win::detail {

// What ShowWindow, IsWindowVisible and SetForegroundWindow act on for a window.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  virtual bool HostVisible() const = 0;
  virtual void HostShow(int command) = 0;
  virtual void HostToForeground() = 0;
};

// Registers a window and gives it its number. host may be none (a plain utility window).
HWND RegisterWindow(WNDPROC procedure, WindowHost* host);
// Forgets the window and kills its timers.
void UnregisterWindow(HWND window);
WindowHost* HostOf(HWND window);

// Every registered top-level window gets the message (registered broadcasts such as
// "TaskbarCreated").
void BroadcastMessage(UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace win::detail
