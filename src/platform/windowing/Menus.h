#pragma once

// Popup menus over QMenu: items with a caption, a default mark, a check or radio mark, items of
// their own (a submenu) and a click handler, shown at a screen position. An item captioned "-" is
// a separator line. The menu is built anew from the items each time it pops up.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QPointer>

#include "rtl/Component.h"

class QAction;
class QMenu;

namespace win {

class TMenuItem {
 public:
  explicit TMenuItem(std::string caption = {}) : Caption(std::move(caption)) {}
  std::string Caption;
  bool Default = false;    // shown in bold; a double click on the tray icon runs it
  bool Enabled = true;     // shown greyed when false, and never runs
  bool Checked = false;    // shown with its mark
  bool RadioItem = false;  // its mark is a radio mark, one of a choice, not a check mark
  std::function<void(TMenuItem* Sender)> OnClick;
  void Click() {
    if (Enabled && OnClick) OnClick(this);
  }
  bool IsLine() const { return Caption == "-"; }

  // Items under this one make it a submenu; the item owns them.
  TMenuItem* Add(std::string caption);
  int Count() const { return static_cast<int>(items_.size()); }
  TMenuItem* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }

 private:
  std::vector<std::unique_ptr<TMenuItem>> items_;
};

class TPopupMenu : public rtl::TComponent {
 public:
  explicit TPopupMenu(rtl::TComponent* owner = nullptr);
  ~TPopupMenu() override;

  // The menu's top-level items.
  TMenuItem* Add(std::string caption) { return items_.Add(std::move(caption)); }
  int Count() const { return items_.Count(); }
  TMenuItem* Items(int index) const { return items_.Items(index); }

  bool AutoPopup() const { return autoPopup_; }
  void SetAutoPopup(bool value) { autoPopup_ = value; }
  // The component that popped the menu up last.
  rtl::TComponent* PopupComponent() const { return popupComponent_; }
  void SetPopupComponent(rtl::TComponent* component);

  // Fires OnPopup, then shows the menu at (x, y) without waiting for a choice.
  void Popup(int x, int y);
  std::function<void(TPopupMenu* Sender)> OnPopup;
  // The Qt menu while it is shown, or none.
  QMenu* Shown() const;
  // Shows the items' captions and states as they are now in the menu while it is shown.
  void UpdateShown();

 protected:
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  void Fill(QMenu& menu, const TMenuItem& parent);

  TMenuItem items_;
  bool autoPopup_ = true;
  rtl::TComponent* popupComponent_ = nullptr;
  std::unique_ptr<QMenu> menu_;
  // What shows each item in menu_.
  std::vector<std::pair<QPointer<QAction>, const TMenuItem*>> actions_;
};

}  // namespace win
