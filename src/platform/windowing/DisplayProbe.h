#pragma once

// Whether a display server answers where the environment says one is. Asked before the Qt
// application exists: Qt aborts when the display it is pointed at does not answer, and a stale
// variable (an SSH session, a desktop that went away) is common enough.

namespace win {

// The X server DISPLAY names accepts a connection.
bool XServerAnswers();
// The Wayland display WAYLAND_DISPLAY names (wayland-0 when unset, as clients assume) accepts a
// connection.
bool WaylandServerAnswers();

}  // namespace win
