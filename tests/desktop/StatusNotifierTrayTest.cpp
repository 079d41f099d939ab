// The notification area on a StatusNotifierItem host: a stand-in watcher on the test's own
// session bus. The icon registers with it, Activate calls become clicks and double clicks by the
// double-click time, a watcher restart is announced so that a re-add registers again, and the
// icon's menu goes to the host, which draws it and reports the choice over D-Bus.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include "desktop/DesktopTest.h"
#include "platform/windowing/Icon.h"
#include "platform/windowing/Shell.h"
#include "ui/ShellTestSupport.h"

namespace {

using test::PumpUntil;
using namespace win;

class StatusNotifierTray : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartWatcher("watcher-1.log")); }

  void TearDown() override {
    Shell_NotifyIconA(NIM_DELETE, Record());
    DestroyIcon(image);
    watcher.Stop();
  }

  NOTIFYICONDATAA Record() const {
    return test::IconRecord(recorder.Window(), 3, image, "Double Click To Show");
  }

  bool StartWatcher(const std::string& logName, std::vector<std::string> arguments = {}) {
    log = desktop.WorkDir() + "/" + logName;
    std::remove(log.c_str());  // what an earlier test's watcher printed is not this one's
    arguments.insert(arguments.begin(), TRAMLET_SNI_WATCHER);
    return desktop.StartProgram(watcher, arguments, logName) &&
           PumpUntil([&] { return !Lines("ready").empty(); }, 10000);
  }

  // What the watcher printed after `prefix ` on lines that start with it.
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> found;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0)
        found.push_back(line.substr(std::min(line.size(), prefix.size() + 1)));
    return found;
  }

  // The item the watcher saw register, waiting for it; empty when none came.
  std::string AwaitRegisteredItem() const {
    PumpUntil([&] { return !Lines("registered").empty(); }, 10000);
    std::vector<std::string> items = Lines("registered");
    return items.empty() ? std::string() : items.back();
  }

  // Calls the item's Activate as a host does on a left click, from a connection of its own.
  void Activate(const std::string& item) const {
    const std::size_t slash = item.find('/');
    QDBusConnection host = QDBusConnection::connectToBus(
        QString::fromStdString(desktop.BusAddress()), QStringLiteral("tray-host"));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromStdString(item.substr(0, slash)), QString::fromStdString(item.substr(slash)),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    call << 10 << 10;
    ASSERT_TRUE(host.send(call));
  }

  test::Desktop& desktop = test::TheDesktop();
  test::ChildProcess watcher;
  std::string log;
  test::NoticeRecorder recorder;
  HICON image = CreateIconHandle(test::SolidIcon(QColor(30, 120, 200)));
};

TEST_F(StatusNotifierTray, ActivationsBecomeClicksByTheDoubleClickTime) {
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  const std::string item = AwaitRegisteredItem();
  ASSERT_FALSE(item.empty()) << "the icon never registered with the watcher";
  EXPECT_TRUE(TrayHostAvailable());

  struct Step {
    const char* what;
    int activations;
    std::vector<UINT> notices;
  };
  const Step steps[] = {
      {"one activation", 1, {512, 513, 514}},
      {"one activation after the double-click time", 1, {512, 513, 514}},
      {"two activations within it", 2, {512, 513, 514, 515, 514}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    recorder.Clear();
    for (int i = 0; i < step.activations; ++i)
      Activate(item);
    EXPECT_TRUE(PumpUntil([&] { return recorder.CallbackCount() >= step.notices.size(); }));
    // Long enough for a late extra notice to show, and for the next activation to be a new click.
    test::PumpFor(static_cast<int>(GetDoubleClickTime()) + 100);
    EXPECT_EQ(step.notices, recorder.Notices(3));
    EXPECT_EQ(step.notices.size(), recorder.CallbackCount());
  }

  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record()));
  EXPECT_TRUE(PumpUntil([&] { return !Lines("unregistered").empty(); }))
      << "the deleted icon stayed with the watcher";
}

TEST_F(StatusNotifierTray, WatcherRestartIsAnnouncedAndReAddRegistersAgain) {
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  ASSERT_FALSE(AwaitRegisteredItem().empty());

  watcher.Stop();
  ASSERT_TRUE(PumpUntil([&] { return !Shell_NotifyIconA(NIM_MODIFY, Record()); }))
      << "the icon outlived its host";
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record())) << "added with no host there";

  const int announced = recorder.TaskbarCreatedCount();
  bool reAdded = false;
  recorder.OnTaskbarCreated = [&] { reAdded = Shell_NotifyIconA(NIM_ADD, Record()); };
  ASSERT_TRUE(StartWatcher("watcher-2.log"));
  ASSERT_TRUE(PumpUntil([&] { return recorder.TaskbarCreatedCount() > announced; }))
      << "no TaskbarCreated after the watcher came back";
  EXPECT_TRUE(reAdded);
  EXPECT_FALSE(AwaitRegisteredItem().empty()) << "the re-added icon did not register";
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record())) << "an icon that is there was added again";
  EXPECT_EQ(announced + 1, recorder.TaskbarCreatedCount());
}

TEST_F(StatusNotifierTray, TheMenuGoesToTheHostWhichRunsTheChosenEntry) {
  watcher.Stop();
  ASSERT_TRUE(StartWatcher("watcher-menu.log", {"--choose", "Quit"}));
  std::vector<std::string> chosen;
  auto entry = [&](const std::string& caption) {
    return TShellMenuEntry{caption, [&chosen, caption] { chosen.push_back(caption); }};
  };
  Shell_SetIconMenu(recorder.Window(), 3, {entry("Show window"), entry("Quit")});
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record()));
  const std::string item = AwaitRegisteredItem();
  ASSERT_TRUE(PumpUntil([&] { return !chosen.empty(); }, 10000)) << "no entry was chosen";
  EXPECT_EQ(Lines("menu"), std::vector<std::string>{item + " Show window|Quit"});
  EXPECT_EQ(recorder.CallbackCount(), 0u) << "the host's menu is no click on the icon";

  // New captions for the shown icon: the host takes it afresh, with the new menu.
  Shell_SetIconMenu(recorder.Window(), 3, {entry("Later"), entry("Quit")});
  ASSERT_TRUE(PumpUntil([&] { return chosen.size() == 2; }, 10000));
  EXPECT_EQ(Lines("menu").back(), Lines("registered").back() + " Later|Quit");
  EXPECT_EQ(chosen, (std::vector<std::string>{"Quit", "Quit"}));
}

}  // namespace
