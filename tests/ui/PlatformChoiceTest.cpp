#include "platform/windowing/PlatformChoice.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using win::ChoosePlatform;
using win::TPlatformFacts;

TEST(PlatformChoice, APlatformThatCannotWorkGivesWayAndOneThatWorksIsLeftAlone) {
  const std::set<std::string> withoutWayland{"xcb", "offscreen", "minimal", "vnc"};
  const std::set<std::string> withWayland{"xcb", "offscreen", "wayland", "wayland-egl"};
  struct Case {
    const char* what;
    TPlatformFacts facts;
    const char* platform;  // "": as it is
    bool headless;
    const char* said;  // in the notice; "": none
  } cases[] = {
      {"wayland asked for, no plugin, X answers",
       {"wayland", false, withoutWayland, true, true},
       "xcb",
       false,
       "plugin \"wayland\" is not installed; using xcb instead"},
      {"a Wayland session, no plugin, X answers",
       {"", true, withoutWayland, true, true, true, true},
       "xcb",
       false,
       "using xcb instead"},
      {"wayland with options, no plugin, no X",
       {"wayland:option", false, withoutWayland, true, false},
       "offscreen",
       true,
       "\"wayland\" is not installed and no display answers; the proxy runs without a window"},
      {"a list whose first has no plugin",
       {"wayland;xcb", false, withoutWayland, true, true},
       "xcb",
       false,
       "using xcb instead"},
      {"xcb whose display answers", {"xcb", false, withoutWayland, true, true}, "", false, ""},
      {"wayland, plugin there, display answers",
       {"WAYLAND", false, withWayland, false, false, true, true},
       "",
       false,
       ""},
      {"no X, but a Wayland display and plugin",
       {"", false, withWayland, false, false, true, true},
       "wayland",
       false,
       "display for the Qt platform \"xcb\" does not answer"},
      {"offscreen, chosen", {"offscreen", false, withoutWayland}, "", true, ""},
      {"no display at all", {"", false, withoutWayland}, "offscreen", true, "no display found"},
      {"a display that does not answer",
       {"", false, withoutWayland, true, false},
       "offscreen",
       true,
       "the display could not be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const win::TPlatformChoice choice = ChoosePlatform(c.facts);
    EXPECT_EQ(choice.platform, c.platform);
    EXPECT_EQ(choice.headless, c.headless);
    if (*c.said)
      EXPECT_NE(choice.notice.find(c.said), std::string::npos) << choice.notice;
    else
      EXPECT_EQ(choice.notice, "");
    EXPECT_EQ(choice.notice.find('\n'), std::string::npos);
  }
}

TEST(PlatformChoice, InstalledPluginsAreKnownByTheirKeys) {
  const TPlatformFacts facts = win::GatherPlatformFacts();
  EXPECT_TRUE(facts.installed.count("offscreen"));
  EXPECT_TRUE(facts.installed.count("xcb"));
}

}  // namespace
