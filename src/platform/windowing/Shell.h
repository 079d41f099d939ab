#pragma once

// The shell's notification-area interface over QSystemTrayIcon.
//
// Contract:
// - Shell_NotifyIconA takes NIM_ADD, NIM_MODIFY, NIM_DELETE or NIM_SETVERSION and the 488-byte
//   record. Icons are keyed by (window, identifier). Adding an icon that is already there, or
//   modifying or deleting one that is not, fails and changes nothing. An added icon shows the
//   record's icon and its tip up to the terminating zero.
// - Mouse notices from the tray host reach the record's window as its callback message with the
//   identifier as first parameter and the mouse message as second, in Windows' order: a single
//   left click gives WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP; a double click
//   WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP; a right click WM_MOUSEMOVE,
//   WM_RBUTTONDOWN, WM_RBUTTONUP; a middle click WM_MBUTTONDOWN, WM_MBUTTONUP. (A double
//   click's first click goes out as it comes, as a single click with its WM_MOUSEMOVE.) Hosts
//   that report only activations (StatusNotifierItem hosts) have a second left activation within
//   the double-click time count as a double click. Balloon notices map to NIN_BALLOON* where Qt
//   reports them.
// - When the tray host goes away, the message registered as "TrayHostGone" (TrayHostGoneMsg) is
//   sent to the application's window (and so its hooks) and every top-level window; when a host
//   comes back, the one registered as "TaskbarCreated".
// - Icons go with the host that showed them: once it has gone, they are forgotten (modifying
//   them fails; once a host is back, adding them again succeeds), and while no host is there,
//   adds fail, as the shell's do while the taskbar is gone. A host change is only seen where one
//   can be watched (XEmbed on X11, StatusNotifierItem on the session bus). Hosts of both kinds
//   are followed all along: an icon is shown by a StatusNotifierItem host where one is there,
//   else by an XEmbed one, and moves, unasked and without notices, when the host of the other
//   kind takes over or gives up while one of the first stays. On Qt's offscreen platform icons
//   are records that are never shown.
// - NIM_SETVERSION needs the icon and only knows version 0, the classic callbacks.
// - Hosts that draw an icon's menu themselves (StatusNotifierItem hosts read it over D-Bus and
//   then never report the right click) are given the entries set by Shell_SetIconMenu; choosing
//   one runs its action from the loop, unless the entry is disabled. Entries set before NIM_ADD go
//   out with the icon; new ones for an icon already shown are announced to the host, which
//   reads them again. NIM_DELETE forgets them. Hosts that report right clicks (XEmbed) are given
//   nothing: the program pops up its own.
// - Main thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/windowing/Icon.h"
#include "platform/windowing/WinTypes.h"

namespace win {

constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr DWORD NIM_SETVERSION = 4;

constexpr UINT NIF_MESSAGE = 1;
constexpr UINT NIF_ICON = 2;
constexpr UINT NIF_TIP = 4;

constexpr UINT NIN_SELECT = WM_USER;
constexpr UINT NIN_KEYSELECT = WM_USER + 1;
constexpr UINT NIN_BALLOONSHOW = WM_USER + 2;
constexpr UINT NIN_BALLOONHIDE = WM_USER + 3;
constexpr UINT NIN_BALLOONTIMEOUT = WM_USER + 4;
constexpr UINT NIN_BALLOONUSERCLICK = WM_USER + 5;

#pragma pack(push, 4)
struct NOTIFYICONDATAA {
  DWORD cbSize = 0;
  HWND hWnd = 0;
  UINT uID = 0;
  UINT uFlags = 0;
  UINT uCallbackMessage = 0;
  HICON hIcon = 0;
  char szTip[128] = {};
  DWORD dwState = 0;
  DWORD dwStateMask = 0;
  char szInfo[256] = {};
  UINT uVersion = 0;  // shares its place with the balloon time-out
  char szInfoTitle[64] = {};
  DWORD dwInfoFlags = 0;
};
#pragma pack(pop)
static_assert(sizeof(NOTIFYICONDATAA) == 488, "the record the shell takes is 488 bytes");

bool Shell_NotifyIconA(DWORD message, const NOTIFYICONDATAA& data);

struct TShellMenuEntry {
  std::string caption;
  std::function<void()> action;
  bool enabled = true;  // a disabled entry shows, greyed, and cannot be chosen
  enum class Mark { None, Check, Radio };
  Mark mark = Mark::None;  // an entry with a mark shows whether it is checked
  bool checked = false;
  bool separator = false;                 // a line between entries
  std::vector<TShellMenuEntry> children = {};  // a submenu's entries
};

// The menu for the icon (window, id), shown or not yet; no entries, no menu. An entry with
// children opens them as a submenu and runs no action itself.
void Shell_SetIconMenu(HWND window, UINT id, std::vector<TShellMenuEntry> entries);

// Whether a notification area is there to show icons now.
bool TrayHostAvailable();

// The message sent when the host that showed this process's icons has gone.
UINT TrayHostGoneMsg();

}  // namespace win
