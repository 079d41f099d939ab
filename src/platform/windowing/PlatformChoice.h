#pragma once

// The Qt platform the program starts on. Qt aborts when the platform it is asked for has no
// plugin installed (a Wayland session without Qt's Wayland plugin) or cannot reach its display;
// the proxy is worth running all the same. So before the Qt application exists, a platform that
// cannot work gives way to xcb where an X server answers, to Wayland where a Wayland server
// answers and the plugin is there, and else to running headless (offscreen), with one line on
// standard error saying so and naming what is missing. Wayland is left for X wherever an X
// server answers (XWayland in a Wayland session): a Wayland client cannot keep its window above
// others, and the window must stay on top. On Wayland alone, one line says that it cannot.
// Other platforms that work are left as asked for.

#include <set>
#include <string>

namespace win {

struct TPlatformFacts {
  // QT_QPA_PLATFORM as set: names separated by ';', each perhaps with ":options"; empty when
  // unset, when Qt asks for Wayland in a Wayland session and for xcb elsewhere.
  std::string requested;
  bool waylandSession = false;      // XDG_SESSION_TYPE=wayland
  std::set<std::string> installed;  // the keys of the platform plugins there, in lower case
  bool xSet = false;                // DISPLAY
  bool xAnswers = false;
  bool waylandSet = false;  // WAYLAND_DISPLAY
  bool waylandAnswers = false;
  std::string xName{};        // DISPLAY as set, for messages
  std::string waylandName{};  // WAYLAND_DISPLAY as set
};

struct TPlatformChoice {
  std::string platform;   // what QT_QPA_PLATFORM must become; empty: as it is
  bool headless = false;  // the platform draws nowhere
  std::string notice;     // the line for standard error; empty: nothing to say
};

TPlatformChoice ChoosePlatform(const TPlatformFacts& facts);

// This process's environment, displays and installed plugins.
TPlatformFacts GatherPlatformFacts();

// Chooses for this process, sets QT_QPA_PLATFORM and prints the notice unless told to leave that
// to the caller (a start that may only talk to a running instance has nothing to say about it).
TPlatformChoice SetUpPlatform(bool printNotice = true);

}  // namespace win
