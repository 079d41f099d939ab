// The notification area on an XEmbed tray host (trayer): the icon docks and shows, real clicks
// on it come back as Windows' mouse messages, and a host restart is announced so that a re-add
// docks the icon in the new host.

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>

#include "desktop/DesktopTest.h"
#include "platform/windowing/Icon.h"
#include "platform/windowing/Shell.h"
#include "ui/ShellTestSupport.h"

namespace {

using test::PumpUntil;
using namespace win;

const QColor kIconColour(200, 30, 120);

class XEmbedTray : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop.StartTrayHost()) {
      desktop.SaveDiagnostics(test::DesktopOutputDir(),
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
      FAIL() << "trayer did not start";
    }
    // Qt docks its icons again when it learns of a new host; let it learn of this one before the
    // test's icon docks, so that the window found is the one that stays.
    QGuiApplication::sync();
  }

  void TearDown() override {
    Shell_NotifyIconA(NIM_DELETE, Record());
    DestroyIcon(image);
    desktop.StopTrayHost();
  }

  NOTIFYICONDATAA Record() const {
    return test::IconRecord(recorder.Window(), 7, image, "Double Click To Show");
  }

  // This process's icon window inside trayer's panel; 0 while there is none.
  std::uint32_t DockedIcon() const { return desktop.DockedIcon(::getpid()); }

  // Waits for the icon to dock; when it does not, leaves what is needed to see why in the output
  // folder.
  std::uint32_t AwaitDockedIcon() const {
    std::uint32_t window = 0;
    if (PumpUntil([&] { return (window = DockedIcon()) != 0; }, 10000)) return window;
    desktop.SaveDiagnostics(test::DesktopOutputDir(),
                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    return 0;
  }

  // Takes screenshots until the middle of the docked icon shows the icon's colour.
  bool ScreenshotShowsIcon(const std::string& path) const {
    return PumpUntil(
        [&] {
          std::optional<test::Desktop::Geometry> at = desktop.WindowGeometry(DockedIcon());
          if (!at || !desktop.Screenshot(path)) return false;
          QImage shot(QString::fromStdString(path));
          return !shot.isNull() &&
                 shot.pixelColor(at->x + at->width / 2, at->y + at->height / 2) == kIconColour;
        },
        15000);
  }

  test::Desktop& desktop = test::TheDesktop();
  test::NoticeRecorder recorder;
  HICON image = CreateIconHandle(test::SolidIcon(kIconColour));
};

TEST_F(XEmbedTray, IconDocksAndShowsUntilDeleted) {
  ASSERT_TRUE(TrayHostAvailable());
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  const std::uint32_t icon = AwaitDockedIcon();
  ASSERT_NE(0u, icon) << "the icon never docked in trayer";

  std::optional<test::Desktop::Geometry> at = desktop.WindowGeometry(icon);
  ASSERT_TRUE(at);
  EXPECT_GE(at->x, 1024 - 200) << "trayer sits at the top right";
  EXPECT_LT(at->y + at->height, 40);
  EXPECT_TRUE(ScreenshotShowsIcon(test::DesktopOutputDir() + "/xembed-docked-icon.png"));

  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record()));
  EXPECT_TRUE(PumpUntil([&] { return DockedIcon() == 0; }, 10000)) << "deleted icon still docked";
}

TEST_F(XEmbedTray, ClicksGiveWindowsMouseSequences) {
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  ASSERT_NE(0u, AwaitDockedIcon());

  struct Case {
    const char* what;
    int button;
    int count;
    std::vector<UINT> notices;
  };
  const Case cases[] = {
      {"left click", 1, 1, {512, 513, 514}},
      {"left double click", 1, 2, {512, 513, 514, 515, 514}},
      {"right click", 3, 1, {512, 516, 517}},
      {"middle click", 2, 1, {519, 520}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.Clear();
    ASSERT_TRUE(desktop.Click(DockedIcon(), c.button, c.count));
    EXPECT_TRUE(PumpUntil([&] { return recorder.CallbackCount() >= c.notices.size(); }));
    // Long enough for a late extra notice to show, and for the next click to be a new one.
    test::PumpFor(static_cast<int>(GetDoubleClickTime()) + 100);
    EXPECT_EQ(c.notices, recorder.Notices(7));
    EXPECT_EQ(c.notices.size(), recorder.CallbackCount());
  }
}

TEST_F(XEmbedTray, HostRestartIsAnnouncedAndReAddDocksAgain) {
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  ASSERT_NE(0u, AwaitDockedIcon());

  ASSERT_TRUE(desktop.StopTrayHost());
  ASSERT_TRUE(PumpUntil([&] { return !Shell_NotifyIconA(NIM_MODIFY, Record()); }))
      << "the icon outlived its host";
  EXPECT_FALSE(TrayHostAvailable());
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record())) << "added with no host there";

  // Counted from here: an earlier test in this process may have restarted the host as well.
  const int announced = recorder.TaskbarCreatedCount();
  bool reAdded = false;
  recorder.OnTaskbarCreated = [&] { reAdded = Shell_NotifyIconA(NIM_ADD, Record()); };
  ASSERT_TRUE(desktop.StartTrayHost());
  ASSERT_TRUE(PumpUntil([&] { return recorder.TaskbarCreatedCount() > announced; }))
      << "no TaskbarCreated after the host came back";
  EXPECT_TRUE(reAdded);
  const std::uint32_t icon = AwaitDockedIcon();
  ASSERT_NE(0u, icon) << "the re-added icon did not dock in the new host";
  EXPECT_TRUE(ScreenshotShowsIcon(test::DesktopOutputDir() + "/xembed-readded-icon.png"));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record())) << "an icon that is there was added again";
  EXPECT_EQ(announced + 1, recorder.TaskbarCreatedCount());
}

}  // namespace
