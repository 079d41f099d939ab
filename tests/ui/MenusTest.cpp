#include "platform/windowing/Menus.h"

#include <string>

#include <gtest/gtest.h>
#include <QActionGroup>
#include <QMenu>

namespace {

using win::TMenuItem;
using win::TPopupMenu;

// What a popped-up menu shows: lines, a submenu, and radio items next to each other as one
// choice, whose marks follow the items while it is shown.
TEST(PopupMenu, ShowsLinesSubmenusAndRadioChoicesAndFollowsTheirMarks) {
  TPopupMenu menu;
  std::string chosen;
  auto add = [&chosen](auto& parent, const std::string& caption, bool radio, bool checked) {
    TMenuItem* item = parent.Add(caption);
    item->RadioItem = radio;
    item->Checked = checked;
    item->OnClick = [&chosen](TMenuItem* sender) { chosen = sender->Caption; };
    return item;
  };
  add(menu, "Rate", false, false)->Enabled = false;
  menu.Add("-");
  TMenuItem* presets = menu.Add("Presets");
  add(*presets, "A", true, false);
  add(*presets, "B", true, true);
  TMenuItem* each = add(menu, "Each", true, true);
  TMenuItem* together = add(menu, "Together", true, false);
  add(menu, "Checked", false, true);
  menu.Popup(0, 0);
  ASSERT_NE(menu.Shown(), nullptr);

  const QList<QAction*> shown = menu.Shown()->actions();
  ASSERT_EQ(shown.size(), 6);
  EXPECT_FALSE(shown[0]->isEnabled());
  EXPECT_TRUE(shown[1]->isSeparator());
  ASSERT_NE(shown[2]->menu(), nullptr);
  const QList<QAction*> inner = shown[2]->menu()->actions();
  ASSERT_EQ(inner.size(), 2);
  EXPECT_TRUE(inner[1]->isChecked() && !inner[0]->isChecked());
  ASSERT_NE(inner[0]->actionGroup(), nullptr);
  EXPECT_TRUE(inner[0]->actionGroup()->isExclusive());
  EXPECT_EQ(shown[3]->actionGroup(), shown[4]->actionGroup());
  EXPECT_NE(shown[3]->actionGroup(), inner[0]->actionGroup());
  EXPECT_EQ(shown[5]->actionGroup(), nullptr);
  EXPECT_TRUE(shown[5]->isCheckable() && shown[5]->isChecked());

  inner[0]->trigger();
  EXPECT_EQ(chosen, "A");
  each->Checked = false;
  together->Checked = true;
  menu.UpdateShown();
  EXPECT_TRUE(shown[4]->isChecked() && !shown[3]->isChecked());
}

}  // namespace
