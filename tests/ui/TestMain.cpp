// The window tests run on one application object per process, on Qt's offscreen platform unless
// a test environment names another.

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/windowing/Application.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  win::TApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
