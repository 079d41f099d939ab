#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "rtl/CriticalSection.h"

namespace rtl {

// A list of pointers that any thread may use, guarded by its own lock. The list never owns what
// it points to. Either use the single-step operations, or hold the lock with Locked() (or
// LockList/UnlockList) while walking or changing the list in several steps.
template <class T>
class TThreadList {
 public:
  // Access to the list for as long as this object lives. A hold handed out by value is more than
  // the locking analysis follows, so this one type is left out of it.
  class Locked {
   public:
    explicit Locked(TThreadList& owner) NO_THREAD_SAFETY_ANALYSIS : owner_(&owner) {
      owner_->lock_.Enter();
    }
    Locked(Locked&& other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    Locked& operator=(Locked&&) = delete;
    ~Locked() NO_THREAD_SAFETY_ANALYSIS {
      if (owner_) owner_->lock_.Leave();
    }

    std::vector<T*>& operator*() const { return owner_->items_; }
    std::vector<T*>* operator->() const { return &owner_->items_; }

   private:
    TThreadList* owner_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  Locked Lock() { return Locked(*this); }

  std::vector<T*>& LockList() ACQUIRE(lock_) {
    lock_.Enter();
    return items_;
  }
  void UnlockList() RELEASE(lock_) { lock_.Leave(); }

  // Adding an item that is already listed does nothing, so one Remove always takes it out.
  void Add(T* item) {
    TCriticalSectionGuard guard(lock_);
    if (std::find(items_.begin(), items_.end(), item) == items_.end()) items_.push_back(item);
  }
  void Remove(T* item) {
    TCriticalSectionGuard guard(lock_);
    auto found = std::find(items_.begin(), items_.end(), item);
    if (found != items_.end()) items_.erase(found);
  }
  bool Contains(T* item) {
    TCriticalSectionGuard guard(lock_);
    return std::find(items_.begin(), items_.end(), item) != items_.end();
  }
  void Clear() {
    TCriticalSectionGuard guard(lock_);
    items_.clear();
  }
  std::size_t Count() {
    TCriticalSectionGuard guard(lock_);
    return items_.size();
  }

 private:
  TCriticalSection lock_;
  std::vector<T*> items_ GUARDED_BY(lock_);
};

}  // namespace rtl
