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
      {{"wayland", false, noWayland, true, true},
       "xcb",
       "(Debian's qt6-wayland) is not installed; using xcb"},
      {{"", true, noWayland, true, true}, "xcb", "is not installed; using xcb instead"},
      {{"wayland:x=1;xcb", false, noWayland, true, true}, "xcb", "using xcb instead"},
      {{"xcb", false, noWayland, true, true}, "", ""},
      {{"offscreen", false, noWayland}, "", ""},
      {{"", false, noWayland}, "offscreen", "no display found"},
      {{"", false, all, false, false, true, true, "", "wayland-1"},
       "wayland",
       "DISPLAY is not set; using wayland instead; on Wayland the window cannot keep itself above"},
      // A Wayland session with XWayland: X, where the window stays on top; asked for, it says so.
      {{"", true, all, true, true, true, true}, "xcb", ""},
      {{"wayland", false, all, true, true, true, true}, "xcb", "using xcb rather than wayland"},
      {{"wayland;xcb", true, all, true, true, true, true}, "xcb", "could not keep itself above"},
      {{"", true, all, false, false, true, true}, "", "on Wayland the window cannot keep itself"},
      // Headless: every display that is there, and what it lacks, named.
      {{"wayland", false, noWayland, true, false, false, false, ":5"},
       "offscreen",
       "no window can be opened: the X display :5 does not answer; the proxy runs"},
      {{"", true, noWayland, false, false, true, true, "", "wayland-1"},
       "offscreen",
       "the Wayland display wayland-1 answers, but Qt's Wayland platform plugin (Debian's "
       "qt6-wayland) is not installed"},
      {{"", false, noWayland, false, false, true, false, "", "wayland-1"},
       "offscreen",
       "no window can be opened: the Wayland display wayland-1 does not answer"},
      {{"vnc", false, noWayland, true, false, false, false, ":5"},
       "offscreen",
       "the Qt platform plugin \"vnc\" is not installed; the X display :5 does not answer"},
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
