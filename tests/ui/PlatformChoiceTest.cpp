#include "platform/windowing/PlatformChoice.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(PlatformChoice, APlatformThatCannotWorkGivesWayAndOneThatWorksIsLeftAlone) {
  const std::set<std::string> noWayland{"xcb", "offscreen"}, all{"xcb", "offscreen", "wayland"};
  struct Case {
    win::TPlatformFacts facts;
    const char* platform;  // "": as it is
    const char* said;      // in the notice; "": no notice
  } cases[] = {
      {{"wayland", false, noWayland, true, true}, "xcb", "\"wayland\" is not installed; using xcb"},
      {{"", true, noWayland, true, true}, "xcb", "\"wayland\" is not installed; using xcb"},
      {{"wayland:x=1;xcb", false, noWayland, true, true}, "xcb", "using xcb instead"},
      {{"wayland", false, noWayland, true, false}, "offscreen", "and no display answers"},
      {{"", false, all, false, false, true, true}, "wayland", "\"xcb\" does not answer"},
      {{"xcb", false, noWayland, true, true}, "", ""},
      {{"Wayland", false, all, false, false, true, true}, "", ""},
      {{"offscreen", false, noWayland}, "", ""},
      {{"", false, noWayland}, "offscreen", "no display found"},
      {{"", false, noWayland, true, false}, "offscreen", "the display could not be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.facts.requested + (c.facts.waylandSession ? " in a Wayland session" : ""));
    const win::TPlatformChoice choice = win::ChoosePlatform(c.facts);
    EXPECT_EQ(choice.platform, c.platform);
    EXPECT_EQ(choice.headless, choice.platform == "offscreen" || c.facts.requested == "offscreen");
    EXPECT_EQ(choice.notice.empty(), !*c.said);
    EXPECT_NE(choice.notice.find(c.said), std::string::npos) << choice.notice;
  }
  EXPECT_TRUE(win::GatherPlatformFacts().installed.count("offscreen"));  // plugin keys are read
}

}  // namespace
