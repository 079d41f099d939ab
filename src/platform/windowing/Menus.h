#pragma once

// Popup menus over QMenu: items with a caption, a default mark and a click handler, shown at a
// screen position. The menu is built anew from the items each time it pops up.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Component.h"

class QMenu;

namespace win {

class TMenuItem {
 public:
  explicit TMenuItem(std::string caption = {}) : Caption(std::move(caption)) {}
  std::string Caption;
  bool Default = false;  // shown in bold; a double click on the tray icon runs it
  bool Enabled = true;   // shown greyed when false, and never runs
  std::function<void(TMenuItem* Sender)> OnClick;
  void Click() {
    if (Enabled && OnClick) OnClick(this);
  }
};

class TPopupMenu : public rtl::TComponent {
 public:
  explicit TPopupMenu(rtl::TComponent* owner = nullptr);
  ~TPopupMenu() override;

  // The menu owns its items.
  TMenuItem* Add(std::string caption);
  int Count() const { return static_cast<int>(items_.size()); }
  TMenuItem* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }

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
  std::vector<std::unique_ptr<TMenuItem>> items_;
  bool autoPopup_ = true;
  rtl::TComponent* popupComponent_ = nullptr;
  std::unique_ptr<QMenu> menu_;
};

}  // namespace win
