#pragma once

// What the desktop tests share: the desktop their process runs on (TestMain makes it before the
// application object) and where they leave files to look at.

#include <string>

#include "support/desktop/Desktop.h"

namespace test {

Desktop& TheDesktop();

// A folder in the build tree for screenshots.
std::string DesktopOutputDir();

}  // namespace test
