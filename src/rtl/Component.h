#pragma once

#include <string>
#include <vector>

namespace rtl {

enum class TOperation { opInsert, opRemove };

// Base of the program's components: an owner that frees what it owns, a name, and removal
// notification so that objects holding plain pointers to a component can clear them when it goes.
//
// A component created with an owner is owned by it (create it with new and hand it over) and is
// freed with the owner; it may still be deleted earlier, which takes it out of the owner's list.
// Components are not thread-safe: one tree is used by one thread at a time.
class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const {
    return components_.at(static_cast<std::size_t>(index));
  }

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // Called once the component and its owner's other components have all been made and set up
  // (a form calls it after building its layout).
  virtual void Loaded() {}

  // Asks for Notification(component, opRemove) on this object when component is destroyed, and
  // the other way round.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 protected:
  // Called when an owned component is inserted or removed, and with opRemove when a component
  // this one asked to watch is destroyed. Derived classes clear their pointers here.
  virtual void Notification(TComponent* component, TOperation operation);

  // Frees every owned component now; derived destructors call it when their own members must
  // outlive the components they own.
  void DestroyComponents();

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;    // owned
  std::vector<TComponent*> freeNotifies_;  // watched both ways, not owned
};

}  // namespace rtl
