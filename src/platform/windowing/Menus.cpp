#include "platform/windowing/Menus.h"

#include <QActionGroup>
#include <QMenu>

namespace win {
namespace {

void ShowState(QAction& action, const TMenuItem& item) {
  action.setText(QString::fromStdString(item.Caption));
  action.setEnabled(item.Enabled);
  action.setCheckable(item.Checked || item.RadioItem);
  action.setChecked(item.Checked);
}

}  // namespace

TMenuItem* TMenuItem::Add(std::string caption) {
  items_.push_back(std::make_unique<TMenuItem>(std::move(caption)));
  return items_.back().get();
}

TPopupMenu::TPopupMenu(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TPopupMenu::~TPopupMenu() = default;

void TPopupMenu::SetPopupComponent(rtl::TComponent* component) {
  if (component == popupComponent_) return;
  if (popupComponent_) RemoveFreeNotification(popupComponent_);
  popupComponent_ = component;
  if (component) FreeNotification(component);
}

void TPopupMenu::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  rtl::TComponent::Notification(component, operation);
  if (operation == rtl::TOperation::opRemove && component == popupComponent_)
    popupComponent_ = nullptr;
}

void TPopupMenu::Popup(int x, int y) {
  if (OnPopup) OnPopup(this);
  actions_.clear();
  menu_ = std::make_unique<QMenu>();
  Fill(*menu_, items_);
  menu_->popup(QPoint(x, y));
}

void TPopupMenu::Fill(QMenu& menu, const TMenuItem& parent) {
  QActionGroup* choice = nullptr;  // radio items next to each other are one choice
  for (int i = 0; i < parent.Count(); ++i) {
    TMenuItem* item = parent.Items(i);
    if (item->IsLine()) {
      menu.addSeparator();
      choice = nullptr;
      continue;
    }
    QAction* action = nullptr;
    if (item->Count() > 0) {
      QMenu* submenu = menu.addMenu(QString());
      Fill(*submenu, *item);
      action = submenu->menuAction();
    } else {
      action = menu.addAction(QString());
      QObject::connect(action, &QAction::triggered, [item] { item->Click(); });
    }
    if (item->RadioItem) {
      if (!choice) choice = new QActionGroup(&menu);
      choice->addAction(action);
    } else {
      choice = nullptr;
    }
    if (item->Default) {
      QFont bold = action->font();
      bold.setBold(true);
      action->setFont(bold);
    }
    ShowState(*action, *item);
    actions_.emplace_back(action, item);
  }
}

void TPopupMenu::UpdateShown() {
  if (!Shown()) return;
  for (const auto& [action, item] : actions_)
    if (action) ShowState(*action, *item);
}

QMenu* TPopupMenu::Shown() const {
  return menu_ && menu_->isVisible() ? menu_.get() : nullptr;
}

}  // namespace win
