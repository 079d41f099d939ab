#pragma once

#include <mutex>

#include "rtl/ThreadSafety.h"

namespace rtl {

// A lock that the thread holding it may take again; each Enter needs its Leave.
// Also usable with std::lock_guard and std::unique_lock, which the locking analysis does not see
// into: prefer TCriticalSectionGuard.
class CAPABILITY("critical section") TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() ACQUIRE() { mutex_.lock(); }
  void Leave() RELEASE() { mutex_.unlock(); }
  bool TryEnter() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  void lock() ACQUIRE() { Enter(); }
  void unlock() RELEASE() { Leave(); }
  bool try_lock() TRY_ACQUIRE(true) { return TryEnter(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a critical section for the rest of the scope.
class SCOPED_CAPABILITY TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TCriticalSection& section) ACQUIRE(section) : section_(section) {
    section_.Enter();
  }
  ~TCriticalSectionGuard() RELEASE() { section_.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

 private:
  TCriticalSection& section_;
};

// A lock that is never taken twice by one thread; cheaper than a critical section.
class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a mutex for the rest of the scope. It can let go and take it again, so a
// std::condition_variable_any can wait on it.
class SCOPED_CAPABILITY TMutexGuard {
 public:
  explicit TMutexGuard(TMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~TMutexGuard() RELEASE() {
    if (held_) mutex_.unlock();
  }
  TMutexGuard(const TMutexGuard&) = delete;
  TMutexGuard& operator=(const TMutexGuard&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }

 private:
  TMutex& mutex_;
  bool held_ = true;
};

}  // namespace rtl
