#include "ui/CoolTrayIcon.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QTest>

#include "platform/windowing/Application.h"
#include "platform/windowing/Form.h"
#include "platform/windowing/ImageList.h"
#include "platform/windowing/Menus.h"
#include "platform/windowing/WindowTable.h"
#include "platform/windowing/Windows.h"

namespace {

using ui::TCoolTrayIcon;
using namespace win;

QIcon Swatch(Qt::GlobalColor colour) {
  QPixmap pixmap(16, 16);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

// An icon whose events are written down in the order they fire, fed with the shell's notices
// through the shared tray window.
class TrayEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    icon = std::make_unique<TCoolTrayIcon>(nullptr);
    icon->OnClick = [this](TCoolTrayIcon*) { events.push_back("Click"); };
    icon->OnMouseDown = [this](TCoolTrayIcon*, ui::TMouseButton b, ui::TShiftState, int, int) {
      events.push_back(b == ui::mbLeft ? "LeftDown" : b == ui::mbRight ? "RightDown" : "MidDown");
    };
    icon->OnMouseUp = [this](TCoolTrayIcon*, ui::TMouseButton b, ui::TShiftState, int, int) {
      events.push_back(b == ui::mbLeft ? "LeftUp" : b == ui::mbRight ? "RightUp" : "MidUp");
    };
  }
  void Notice(LPARAM message) {
    SendMessageA(TCoolTrayIcon::TrayWindowOwner()->Window, ui::TrayCallbackMsg, icon->IconId(),
                 message);
  }
  void Notices(std::initializer_list<LPARAM> messages) {
    for (LPARAM m : messages)
      Notice(m);
  }
  void WithDoubleClickHandler() {
    icon->OnDblClick = [this](TCoolTrayIcon*) { events.push_back("DblClick"); };
  }
  using Events = std::vector<std::string>;
  std::unique_ptr<TCoolTrayIcon> icon;
  Events events;
};

TEST_F(TrayEventsTest, WithoutADoubleClickHandlerAClickFiresAtOnceBeforeMouseUp) {
  Notices({WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP});
  EXPECT_EQ(events, (Events{"LeftDown", "Click", "LeftUp"}));
}

TEST_F(TrayEventsTest, WithADoubleClickHandlerASingleClickWaitsOutTheDoubleClickTime) {
  WithDoubleClickHandler();
  QElapsedTimer clock;
  clock.start();
  Notices({WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP});
  EXPECT_EQ(events, (Events{"LeftDown", "LeftUp"}));
  QTRY_COMPARE(events.size(), 3u);
  EXPECT_EQ(events.back(), "Click");
  EXPECT_GE(clock.elapsed(), static_cast<qint64>(GetDoubleClickTime()) - 20);
}

TEST_F(TrayEventsTest, ADoubleClickFiresNoClick) {
  WithDoubleClickHandler();
  Notices({WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP});
  QTest::qWait(static_cast<int>(GetDoubleClickTime()) + 100);
  EXPECT_EQ(events, (Events{"LeftDown", "LeftUp", "DblClick", "LeftUp"}));
}

TEST_F(TrayEventsTest, DisabledFiresNothingAndShowsNoMenu) {
  TPopupMenu menu;
  bool popped = false;
  menu.OnPopup = [&](TPopupMenu*) { popped = true; };
  icon->SetPopupMenu(&menu);
  icon->SetEnabled(false);
  Notices({WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP});
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(popped);
  icon->SetEnabled(true);
  Notices({WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MBUTTONDOWN, WM_MBUTTONUP});
  EXPECT_EQ(events, (Events{"RightDown", "RightUp", "MidDown", "MidUp"}));
  EXPECT_TRUE(popped);
  EXPECT_EQ(menu.PopupComponent(), icon.get());
}

TEST_F(TrayEventsTest, ADoubleClickRunsTheMenusFirstDefaultItem) {
  WithDoubleClickHandler();
  TPopupMenu menu;
  std::string chosen;
  for (const char* caption : {"Plain", "First default", "Second default"}) {
    TMenuItem* item = menu.Add(caption);
    item->Default = std::string(caption).find("default") != std::string::npos;
    item->OnClick = [&chosen](TMenuItem* sender) { chosen = sender->Caption; };
  }
  icon->SetPopupMenu(&menu);
  Notice(WM_LBUTTONDBLCLK);
  EXPECT_EQ(chosen, "First default");
}

TEST_F(TrayEventsTest, NoticesForAnIconThatIsGoneAreIgnored) {
  TCoolTrayIcon keeper(nullptr);  // keeps the shared window
  std::uint32_t goneId = icon->IconId();
  icon.reset();
  SendMessageA(TCoolTrayIcon::TrayWindowOwner()->Window, ui::TrayCallbackMsg, goneId,
               WM_LBUTTONDOWN);
  EXPECT_TRUE(events.empty());
}

TEST(TrayTip, IsCutTo127CharactersAndEmptyWithoutShowHint) {
  TCoolTrayIcon icon(nullptr);
  icon.SetHint(std::string(200, 'h'));
  EXPECT_EQ(std::string(icon.TrayData().szTip), std::string(127, 'h'));
  icon.SetShowHint(false);
  EXPECT_EQ(icon.TrayData().szTip[0], '\0');
  EXPECT_EQ(icon.Hint().size(), 200u);
  EXPECT_EQ(icon.TrayData().cbSize, 488u);
  EXPECT_EQ(icon.TrayData().uCallbackMessage, 2048u);
}

TEST(TrayImages, IconIndexIsClampedToTheListAndResetWithIt) {
  TImageList list;
  for (auto colour : {Qt::red, Qt::green, Qt::blue})
    list.Add(Swatch(colour));
  TCoolTrayIcon icon(nullptr);
  icon.SetIconIndex(5);
  EXPECT_EQ(icon.IconIndex(), 0);  // no list
  icon.SetIconList(&list);
  icon.SetIconIndex(5);
  EXPECT_EQ(icon.IconIndex(), 2);
  icon.SetIconList(&list);
  EXPECT_EQ(icon.IconIndex(), 0);
  {
    TImageList shortLived;
    shortLived.Add(Swatch(Qt::black));
    icon.SetIconList(&shortLived);
  }
  EXPECT_EQ(icon.IconList(), nullptr);
}

TEST(TrayImages, CyclingWalksTheListAndWrapsAround) {
  TImageList list;
  for (auto colour : {Qt::red, Qt::green, Qt::blue})
    list.Add(Swatch(colour));
  TCoolTrayIcon icon(nullptr);
  icon.SetIconList(&list);
  std::vector<int> next;
  icon.OnCycle = [&](TCoolTrayIcon*, int nextIndex) { next.push_back(nextIndex); };
  icon.SetCycleInterval(20);
  icon.SetCycleIcons(true);
  QTRY_VERIFY(next.size() >= 4);
  icon.SetCycleIcons(false);
  EXPECT_EQ(std::vector<int>(next.begin(), next.begin() + 4), (std::vector<int>{1, 2, 0, 1}));
}

// Counts the shell calls a re-created taskbar causes.
class CountingTrayIcon : public TCoolTrayIcon {
 public:
  using TCoolTrayIcon::TCoolTrayIcon;
  bool AddToTray() override {
    ++adds;
    return TCoolTrayIcon::AddToTray();
  }
  int adds = 0;
};

TEST(TaskbarCreated, ReAddsAVisibleIconAndNotAHiddenOne) {
  ASSERT_NE(ui::TaskbarCreatedMsg(), 0u);
  CountingTrayIcon shown(nullptr), hidden(nullptr);
  shown.SetIconVisible(true);
  shown.adds = 0;
  detail::BroadcastMessage(ui::TaskbarCreatedMsg(), 0, 0);
  EXPECT_EQ(shown.adds, 1);
  EXPECT_EQ(hidden.adds, 0);
}

TEST(TrayWindow, LivesWithTheIconsAndRemovesTheLastIconFirst) {
  auto icon = std::make_unique<TCoolTrayIcon>(nullptr);
  HWND window = TCoolTrayIcon::TrayWindowOwner()->Window;
  EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 1);  // refused: the icons still need it
  icon->SetIcon(Swatch(Qt::red));
  icon->SetIconVisible(true);
  NOTIFYICONDATAA record = icon->TrayData();
  icon.reset();
  EXPECT_EQ(TCoolTrayIcon::TrayWindowOwner(), nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, record));  // already gone from the area
}

// A form that goes into its icon when minimized, and comes back.
TEST(MinimizeToTray, HidesTheMainFormAndRestoreBringsItBack) {
  struct Form : TForm {
    explicit Form(rtl::TComponent* owner) : TForm(owner) {
      tray = new TCoolTrayIcon(this);
      tray->SetMinimizeToTray(true);
      FinishCreation();
    }
    TCoolTrayIcon* tray;
  };
  auto form = std::make_unique<Form>(&Application());
  ASSERT_EQ(Application().MainForm(), form.get());
  form->SetVisible(true);
  form->setWindowState(Qt::WindowMinimized);  // as the window manager reports a minimize
  EXPECT_FALSE(form->Visible());
  EXPECT_TRUE(form->tray->IconVisible());
  form->tray->RestoreMainForm();
  EXPECT_TRUE(form->Visible());
  EXPECT_EQ(form->WindowState(), wsNormal);
  EXPECT_FALSE(Application().Minimized());
}

}  // namespace
