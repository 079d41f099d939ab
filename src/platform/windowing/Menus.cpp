#include "platform/windowing/Menus.h"

#include <QMenu>

namespace win {

TPopupMenu::TPopupMenu(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TPopupMenu::~TPopupMenu() = default;

TMenuItem* TPopupMenu::Add(std::string caption) {
  items_.push_back(std::make_unique<TMenuItem>(std::move(caption)));
  return items_.back().get();
}

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
  menu_ = std::make_unique<QMenu>();
  for (const auto& item : items_) {
    QAction* action = menu_->addAction(QString::fromStdString(item->Caption));
    action->setEnabled(item->Enabled);
    if (item->Default) {
      QFont bold = action->font();
      bold.setBold(true);
      action->setFont(bold);
    }
    TMenuItem* target = item.get();
    QObject::connect(action, &QAction::triggered, [target] { target->Click(); });
  }
  menu_->popup(QPoint(x, y));
}

void TPopupMenu::UpdateShown() {
  QMenu* menu = Shown();
  if (!menu) return;
  const QList<QAction*> actions = menu->actions();
  for (qsizetype i = 0; i < actions.size() && i < Count(); ++i) {
    actions[i]->setText(QString::fromStdString(items_[static_cast<std::size_t>(i)]->Caption));
    actions[i]->setEnabled(items_[static_cast<std::size_t>(i)]->Enabled);
  }
}

QMenu* TPopupMenu::Shown() const {
  return menu_ && menu_->isVisible() ? menu_.get() : nullptr;
}

}  // namespace win
