// The notification-area calls on Qt's offscreen platform, where no host is watched: the record
// rules, what an icon shows, and how Qt's activations become Windows' mouse messages (raised here
// by hand, as Qt would).

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QSystemTrayIcon>

#include "platform/windowing/Application.h"
#include "platform/windowing/Icon.h"
#include "platform/windowing/Shell.h"
#include "platform/windowing/ShellIcons.h"
#include "ui/ShellTestSupport.h"

namespace {

using test::IconRecord;
using test::NoticeRecorder;
using test::PumpUntil;
using namespace win;

class ShellTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (UINT id : {1u, 2u, 3u})
      Shell_NotifyIconA(NIM_DELETE, Record(id));
    DestroyIcon(red);
    DestroyIcon(blue);
  }

  NOTIFYICONDATAA Record(UINT id, const std::string& tip = "tip") const {
    return IconRecord(recorder.Window(), id, red, tip);
  }

  // Lets posted notices reach the window.
  static void Settle() { Application().ProcessMessages(); }

  NoticeRecorder recorder;
  HICON red = CreateIconHandle(test::SolidIcon(Qt::red));
  HICON blue = CreateIconHandle(test::SolidIcon(Qt::blue));
};

TEST_F(ShellTest, RecordRules) {
  struct Step {
    DWORD message;
    UINT id;
    UINT version;
    bool succeeds;
    const char* what;
  };
  const Step steps[] = {
      {NIM_MODIFY, 1, 0, false, "modify before add"},
      {NIM_DELETE, 1, 0, false, "delete before add"},
      {NIM_SETVERSION, 1, 0, false, "set version before add"},
      {NIM_ADD, 1, 0, true, "add"},
      {NIM_ADD, 1, 0, false, "add again"},
      {NIM_ADD, 2, 0, true, "another identifier on the same window"},
      {NIM_MODIFY, 1, 0, true, "modify"},
      {NIM_SETVERSION, 1, 0, true, "classic version"},
      {NIM_SETVERSION, 1, 4, false, "version 4"},
      {NIM_DELETE, 1, 0, true, "delete"},
      {NIM_DELETE, 1, 0, false, "delete again"},
      {NIM_MODIFY, 1, 0, false, "modify after delete"},
      {NIM_MODIFY, 2, 0, true, "the other icon stays"},
      {NIM_ADD, 1, 0, true, "add after delete"},
      {3, 1, 0, false, "unknown message"},
  };
  for (const Step& step : steps) {
    NOTIFYICONDATAA data = Record(step.id);
    data.uVersion = step.version;
    EXPECT_EQ(step.succeeds, Shell_NotifyIconA(step.message, data)) << step.what;
  }

  NoticeRecorder other;
  NOTIFYICONDATAA sameIdOtherWindow = IconRecord(other.Window(), 1, red, "other");
  EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, sameIdOtherWindow)) << "icons are keyed by window too";
  EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, sameIdOtherWindow));
}

TEST_F(ShellTest, TipIsTheBytesUpToTheZero) {
  struct Case {
    std::string bytes;
    QString shown;
  };
  const Case cases[] = {
      {"Double Click To Show", "Double Click To Show"}, {std::string("Tip\0left over", 13), "Tip"},
      {std::string(128, 'x'), QString(127, 'x')},  // no zero: the last byte is its place
      {"caf\xE9", QString::fromUtf8("caf\u00e9")},      {"", ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record(1, c.bytes)));
    EXPECT_EQ(c.shown, detail::ShellIconOf(recorder.Window(), 1)->toolTip()) << c.bytes;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record(1)));
  }
}

TEST_F(ShellTest, ModifyChangesOnlyWhatItsFlagsName) {
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record(1, "first")));
  QSystemTrayIcon* icon = detail::ShellIconOf(recorder.Window(), 1);
  ASSERT_NE(nullptr, icon);
  auto middleColour = [&] { return icon->icon().pixmap(16).toImage().pixelColor(8, 8); };
  EXPECT_EQ(QColor(Qt::red), middleColour());

  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record(1, "second"))) << "a failed add changes nothing";
  EXPECT_EQ("first", icon->toolTip());

  NOTIFYICONDATAA tipOnly = Record(1, "third");
  tipOnly.uFlags = NIF_TIP;
  tipOnly.hIcon = blue;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, tipOnly));
  EXPECT_EQ("third", icon->toolTip());
  EXPECT_EQ(QColor(Qt::red), middleColour());

  NOTIFYICONDATAA imageOnly = Record(1, "fourth");
  imageOnly.uFlags = NIF_ICON;
  imageOnly.hIcon = blue;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, imageOnly));
  EXPECT_EQ("third", icon->toolTip());
  EXPECT_EQ(QColor(Qt::blue), middleColour());
}

TEST_F(ShellTest, ActivationsBecomeWindowsMouseMessages) {
  enum Act { Trigger, DoubleClick, Context, Middle, BalloonClick, Deliver, PassDoubleClickTime };
  struct Case {
    const char* what;
    std::vector<Act> acts;
    std::vector<UINT> notices;
  };
  const Case cases[] = {
      {"left click", {Trigger}, {512, 513, 514}},
      {"right click", {Context}, {512, 516, 517}},
      {"middle click", {Middle}, {519, 520}},
      {"balloon clicked", {BalloonClick}, {NIN_BALLOONUSERCLICK}},
      {"second left within the double-click time",
       {Trigger, Deliver, Trigger},
       {512, 513, 514, 515, 514}},
      {"Qt's double click (XEmbed)", {Trigger, DoubleClick}, {512, 513, 514, 515, 514}},
      {"Qt's double click ends a pair",
       {Trigger, DoubleClick, Trigger},
       {512, 513, 514, 515, 514, 512, 513, 514}},
      {"a click after a double click starts over",
       {Trigger, Deliver, Trigger, Deliver, Trigger},
       {512, 513, 514, 515, 514, 512, 513, 514}},
      {"second left after the double-click time",
       {Trigger, Deliver, PassDoubleClickTime, Trigger},
       {512, 513, 514, 512, 513, 514}},
  };
  UINT id = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.Clear();
    ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record(id)));
    QSystemTrayIcon* icon = detail::ShellIconOf(recorder.Window(), id);
    for (Act act : c.acts) {
      switch (act) {
        case Trigger:
          Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
          break;
        case DoubleClick:
          Q_EMIT icon->activated(QSystemTrayIcon::DoubleClick);
          break;
        case Context:
          Q_EMIT icon->activated(QSystemTrayIcon::Context);
          break;
        case Middle:
          Q_EMIT icon->activated(QSystemTrayIcon::MiddleClick);
          break;
        case BalloonClick:
          Q_EMIT icon->messageClicked();
          break;
        case Deliver:
          Settle();
          break;
        case PassDoubleClickTime:
          test::PumpFor(static_cast<int>(GetDoubleClickTime()) + 50);
          break;
      }
    }
    EXPECT_TRUE(PumpUntil([&] { return recorder.CallbackCount() >= c.notices.size(); }));
    Settle();
    EXPECT_EQ(c.notices, recorder.Notices(id));
    EXPECT_EQ(c.notices.size(), recorder.CallbackCount()) << "every notice names its icon";
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record(id)));
    id = id % 3 + 1;
  }
}

TEST_F(ShellTest, NoNoticesWithoutCallbackMessage) {
  NOTIFYICONDATAA silent = Record(1);
  silent.uFlags = NIF_ICON | NIF_TIP;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, silent));
  Q_EMIT detail::ShellIconOf(recorder.Window(), 1)->activated(QSystemTrayIcon::Trigger);

  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, Record(3)));
  Q_EMIT detail::ShellIconOf(recorder.Window(), 3)->activated(QSystemTrayIcon::Context);
  ASSERT_TRUE(PumpUntil([&] { return recorder.CallbackCount() >= 3; }));
  Settle();
  EXPECT_EQ(std::vector<UINT>({512, 516, 517}), recorder.Notices(3));
  EXPECT_EQ(3u, recorder.CallbackCount()) << "the icon without a callback message sent some";
}

}  // namespace
