#pragma once

// The Qt icon behind a notification-area icon (internal to the windowing layer; tests look at
// what the shell shows through it).

#include "platform/windowing/WinTypes.h"

class QSystemTrayIcon;

namespace win::detail {

// None when no icon has that window and identifier.
QSystemTrayIcon* ShellIconOf(HWND window, UINT id);

}  // namespace win::detail
