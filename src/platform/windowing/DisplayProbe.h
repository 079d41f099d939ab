#pragma once

// Whether a display server answers where the environment says one is (DISPLAY for X11,
// WAYLAND_DISPLAY for Wayland). Asked before the Qt application exists: Qt aborts when the
// display it is pointed at does not answer, and a stale variable (an SSH session, a desktop that
// went away) is common enough.

namespace win {

enum class TDisplayState {
  dsNone,         // no display variable set
  dsUnreachable,  // set, but nothing answers
  dsReachable,
};

TDisplayState ProbeDisplay();

}  // namespace win
