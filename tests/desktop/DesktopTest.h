#pragma once

// What the desktop tests share: the desktop their process runs on (TestMain makes it before the
// application object) and where they leave files to look at.

#include <string>

#include "support/desktop/Desktop.h"

namespace test {

Desktop& TheDesktop();

// Qt picks its tray protocol once per process, at the first tray icon. A test claims the one it
// needs and skips when the process has committed to the other (ctest runs every test in a
// process of its own, so this only matters when the whole program runs at once).
bool ClaimTrayProtocol(const std::string& protocol);

// A folder in the build tree for screenshots.
std::string DesktopOutputDir();

}  // namespace test
