#include <gtest/gtest.h>

#include "platform/windowing/Application.h"
#include "platform/windowing/Windows.h"

namespace {

TEST(RegisteredMessages, SameNameSameNumber) {
  win::UINT first = win::RegisterWindowMessageA("TramletTestMessage");
  EXPECT_GE(first, 0xC000u);
  EXPECT_EQ(first, win::RegisterWindowMessageA("TramletTestMessage"));
  EXPECT_NE(first, win::RegisterWindowMessageA("TramletOtherMessage"));
}

}  // namespace
