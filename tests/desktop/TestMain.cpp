// The desktop tests run on a real X desktop of their own: Xvfb, openbox and a private session bus
// start before the application object, which then runs on Qt's xcb platform. Each test starts
// the tray host it needs.

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <gtest/gtest.h>

#include "desktop/DesktopTest.h"
#include "platform/windowing/Application.h"

namespace test {
namespace {

Desktop* theDesktop = nullptr;

}  // namespace

Desktop& TheDesktop() {
  return *theDesktop;
}

std::string DesktopOutputDir() {
  std::filesystem::create_directories(TRAMLET_DESKTOP_OUTPUT);
  return TRAMLET_DESKTOP_OUTPUT;
}

}  // namespace test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  test::Desktop desktop;
  if (!desktop.StartDisplay() || !desktop.StartWindowManager() || !desktop.StartSessionBus()) {
    std::cerr << "the desktop for these tests could not be started\n";
    return 1;
  }
  for (const std::string& entry : desktop.Environment()) {
    const std::size_t equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  // No desktop's platform theme: the tray protocol is then decided by the session bus alone.
  unsetenv("QT_QPA_PLATFORMTHEME");
  unsetenv("XDG_CURRENT_DESKTOP");
  test::theDesktop = &desktop;

  int result;
  {
    win::TApplication application(argc, argv);
    result = RUN_ALL_TESTS();
  }
  test::theDesktop = nullptr;
  return result;
}
