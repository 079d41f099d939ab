#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <typeinfo>
#include <utility>

#include "rtl/Exception.h"

namespace rtl {

// A failure of the runtime thread: "Thread creation error: %s" or "Thread Error: %s (%d)".
class EThread : public Exception {
 public:
  using Exception::Exception;
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A stack for threads that run only shallow work of our own, such as the network layer's
// per-connection threads: thousands of them live at once, and a small stack keeps each one's
// share of address space small. The deepest proxy run measured uses about 6 KiB (13 KiB under
// AddressSanitizer, whose frames are larger); the sizes leave a wide margin above that.
// ThreadSanitizer makes room for its own large thread-local state by itself.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kSmallStackSize = std::size_t{256} * 1024;
#else
inline constexpr std::size_t kSmallStackSize = std::size_t{64} * 1024;
#endif

// An operating-system thread that runs Execute once.
//
// Life cycle. The OS thread starts at construction and at once waits, "suspended", until it is
// released: by AfterConstruction for a thread not created suspended, or by SetSuspended(false).
// Construction does not wait for the OS thread to begin running.
// C++ has no step after the most-derived constructor, so whoever makes a running thread calls
// AfterConstruction (Create<T> does both); releasing from the TThread constructor would let the
// body run before the derived parts exist. When released, the body runs only if Terminated is
// still false. After the body (and DoTerminate) the thread reads FreeWhenFinished: if set, it
// deletes the object itself (so it must have been made with new and nobody may use it from then
// on); otherwise it marks itself finished and the owner deletes it.
//
// Suspension. POSIX cannot stop another thread where it stands, so only a thread can suspend
// itself: SetSuspended(true) on its own thread blocks until some thread calls SetSuspended(false).
// On another thread it is accepted only when the thread is already suspended or finished; asking
// to suspend a running thread from outside raises EThread.
//
// Destruction. The destructor terminates, resumes and waits for a body that has not ended.
// Because a derived destructor runs before this one, the most derived class must call Shutdown()
// first in its own destructor, or the body could run on half-destroyed members. Builds without
// NDEBUG check this: a thread that was released and then shut down first by a less derived
// destructor (or by none) aborts with a message naming both classes.
// An owner that starts destroying a thread stops it from freeing itself. Deleting a
// FreeWhenFinished thread from outside is valid only while its body certainly has not ended.
//
// WaitFor keeps its own share of the thread's state, so a wait that has begun stays valid even if
// the thread frees itself meanwhile; on the main thread it serves the main-thread call queue
// (rtl/Synchronize.h) while it waits, so a thread that synchronizes with the main thread can end.
//
// Priority is applied as the thread's nice value, relative to the value it started with: idle
// +19, lowest +10, lower +5, normal 0, higher -5, highest -10, time critical -20 (clamped to the
// range -20..19). A level set before the OS thread has begun running is applied by the thread
// itself as it begins. Raising usually needs privileges that a desktop program lacks; a refused
// raise is ignored and Priority still reports the level asked for.
class TThread {
 public:
  // stackSize: bytes of stack for the OS thread (raised to the system's minimum), 0 for the
  // system's default.
  explicit TThread(bool createSuspended, std::size_t stackSize = 0);
  virtual ~TThread();  // NOLINT(bugprone-exception-escape): see its definition
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Makes a T (constructed with args) and releases it unless it was created suspended.
  template <class T, class... Args>
  static std::unique_ptr<T> Create(Args&&... args) {
    auto thread = std::make_unique<T>(std::forward<Args>(args)...);
    thread->AfterConstruction();
    return thread;
  }
  // Releases a thread that was not created suspended; later calls do nothing.
  void AfterConstruction();

  // A request to end: sets Terminated, which is never cleared. Does not wait or resume.
  virtual void Terminate();
  bool Terminated() const { return terminated_.load(); }

  bool Suspended() const;
  void SetSuspended(bool value);

  bool FreeWhenFinished() const { return freeWhenFinished_.load(); }
  void SetFreeWhenFinished(bool value) { freeWhenFinished_.store(value); }

  TThreadPriority Priority() const { return priority_.load(); }
  void SetPriority(TThreadPriority value);

  // The OS thread's id (as rtl::GetCurrentThreadId gives it). Right after construction this may
  // wait the moment it takes the OS thread to begin running.
  std::uint32_t ThreadID() const;

  // True once the body has ended (and, for a thread that frees itself, the object is gone).
  bool Finished() const;
  // The exception that escaped Execute, if any; read it after the body has ended.
  std::exception_ptr FatalException() const;

  // Blocks until the body has ended. On its own thread it raises EThread instead of deadlocking.
  // On the main thread, calls queued for the main thread run meanwhile; an exception from one of
  // them leaves WaitFor before the thread has ended.
  void WaitFor();

 protected:
  virtual void Execute() = 0;
  // Runs on the thread after Execute, whether or not the body ran.
  virtual void DoTerminate() {}

  // Terminates, resumes and waits for the body; safe to call again. Does nothing on the thread
  // itself. Never throws.
  void Shutdown() noexcept;  // NOLINT(bugprone-exception-escape): see its definition

  // Self-suspension in two steps, for callers that must mark the thread suspended while holding
  // a lock and block only after releasing it (so that a resume in between is not lost).
  void BeginSelfSuspend();
  void WaitWhileSuspended();

 private:
  struct State;
  static void* ThreadStart(void* start);
  static void ThreadProc(TThread* self, std::shared_ptr<State> state);
  static void WaitUntilFinished(const std::shared_ptr<State>& state, bool raiseQueueErrors);

  std::shared_ptr<State> state_;
  pthread_t handle_{};
  bool joinable_ = false;  // touched only by the owner, and by the thread as it frees itself
  const bool createSuspended_;
  bool constructed_ = false;  // AfterConstruction has run; touched only by the owner
  // The object's class when it was first released, and at the first Shutdown: they differ when
  // the most derived destructor did not shut the thread down first.
  std::atomic<const std::type_info*> releasedAs_{nullptr};
  const std::type_info* shutDownAs_ =
      nullptr;  // touched by the owner, or the thread freeing itself
  std::atomic<bool> terminated_{false};
  std::atomic<bool> freeWhenFinished_{false};
  std::atomic<TThreadPriority> priority_{tpNormal};
};

}  // namespace rtl
