#pragma once

#include <atomic>
#include <memory>

#include "rtl/Component.h"

namespace rtl {

// A component that another one (the watcher) uses and may or may not own: one the watcher made
// for itself is owned and freed when let go of, one given from outside is only used. Either way
// the watcher is told through removal notification when the object is destroyed elsewhere, and
// passes that on to Forget.
//
// Threads: Get may be called from any thread; everything else on the thread that uses the
// watcher, as for any component.
template <class T>
class TMaybeOwned {
 public:
  explicit TMaybeOwned(TComponent& watcher) : watcher_(watcher) {}
  ~TMaybeOwned() { Reset(); }
  TMaybeOwned(const TMaybeOwned&) = delete;
  TMaybeOwned& operator=(const TMaybeOwned&) = delete;

  T* Get() const { return object_.load(); }
  bool Owns() const { return owned_ != nullptr; }

  // Uses object without owning it; the object held before is let go of first.
  void Use(T* object) {
    if (object == Get()) return;
    Reset();
    Hold(object);
  }
  // Takes object over; the object held before is let go of first.
  void Own(std::unique_ptr<T> object) {
    if (object.get() != Get()) Use(object.get());
    (void)owned_.release();  // the same object again, if anything
    owned_ = std::move(object);
  }
  // Owns the object held now, or stops owning it (it is then only used).
  void SetOwns(bool owns) {
    if (owns && !owned_)
      owned_.reset(Get());
    else if (!owns)
      (void)owned_.release();  // whoever made it frees it
  }

  // Lets go of the object: it is no longer held or watched, and an owned one is handed to the
  // caller (who may free it outside a lock, say); none for one that was only used.
  std::unique_ptr<T> Release() {
    T* object = object_.exchange(nullptr);
    if (object) watcher_.RemoveFreeNotification(object);
    return std::move(owned_);
  }
  // Lets go of the object, freeing it when owned.
  void Reset() { Release(); }

  // For the watcher's removal notification: when component is the object, forgets it without
  // freeing it (it is being destroyed) and answers true.
  bool Forget(const TComponent* component) {
    T* object = Get();
    if (!object || static_cast<const TComponent*>(object) != component) return false;
    object_.store(nullptr);
    (void)owned_.release();
    return true;
  }

 private:
  void Hold(T* object) {
    object_.store(object);
    if (object) watcher_.FreeNotification(object);
  }

  TComponent& watcher_;
  std::atomic<T*> object_{nullptr};
  std::unique_ptr<T> owned_;  // object_ itself when owned
};

}  // namespace rtl
