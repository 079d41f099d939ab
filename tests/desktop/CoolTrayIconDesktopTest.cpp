// The tray icon component on a real XEmbed host: real clicks fire its events in their order, and
// after the host restarts the component brings its icon back by itself.

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QGuiApplication>

#include "desktop/DesktopTest.h"
#include "platform/windowing/Windows.h"
#include "ui/CoolTrayIcon.h"
#include "ui/ShellTestSupport.h"

namespace {

using test::PumpUntil;
using ui::TCoolTrayIcon;

class TrayIconOnADesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desktop.StartTrayHost());
    QGuiApplication::sync();  // Qt learns of the host first, so the icon docks only once
    icon.SetIcon(test::SolidIcon(QColor(20, 140, 60)));
    icon.SetHint("Double Click To Show");
    icon.OnClick = [this](TCoolTrayIcon*) { events.push_back("Click"); };
    icon.OnDblClick = [this](TCoolTrayIcon*) { events.push_back("DblClick"); };
    icon.OnMouseDown = [this](TCoolTrayIcon*, ui::TMouseButton, ui::TShiftState, int, int) {
      events.push_back("Down");
    };
    icon.OnMouseUp = [this](TCoolTrayIcon*, ui::TMouseButton, ui::TShiftState, int, int) {
      events.push_back("Up");
    };
    icon.SetIconVisible(true);
  }
  void TearDown() override { desktop.StopTrayHost(); }

  std::uint32_t AwaitDockedIcon() const {
    std::uint32_t window = 0;
    PumpUntil([&] { return (window = desktop.DockedIcon(::getpid())) != 0; }, 10000);
    return window;
  }
  // Clicks, then lets the double-click time pass so that a pending single click is reported.
  std::vector<std::string> EventsOfClicks(int count) {
    events.clear();
    desktop.Click(AwaitDockedIcon(), 1, count);
    PumpUntil([&] { return !events.empty(); });
    test::PumpFor(static_cast<int>(win::GetDoubleClickTime()) + 200);
    return events;
  }

  test::Desktop& desktop = test::TheDesktop();
  TCoolTrayIcon icon{nullptr};
  std::vector<std::string> events;
};

TEST_F(TrayIconOnADesktop, RealClicksFireTheComponentsEventsInOrder) {
  ASSERT_NE(AwaitDockedIcon(), 0u);
  using Events = std::vector<std::string>;
  EXPECT_EQ(EventsOfClicks(1), (Events{"Down", "Up", "Click"}));
  EXPECT_EQ(EventsOfClicks(2), (Events{"Down", "Up", "DblClick", "Up"}));
}

TEST_F(TrayIconOnADesktop, AVisibleIconComesBackAfterTheHostRestarts) {
  ASSERT_NE(AwaitDockedIcon(), 0u);
  ASSERT_TRUE(desktop.StopTrayHost());
  ASSERT_TRUE(PumpUntil([&] { return desktop.DockedIcon(::getpid()) == 0; }));
  ASSERT_TRUE(desktop.StartTrayHost());
  EXPECT_NE(AwaitDockedIcon(), 0u) << "the icon did not come back to the new host";
  EXPECT_TRUE(icon.IconVisible());
}

}  // namespace
