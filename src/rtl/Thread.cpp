#include "rtl/Thread.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <pthread.h>

#include <sys/resource.h>
#include <unistd.h>

#include "rtl/CriticalSection.h"
#include "rtl/Format.h"
#include "rtl/ScopeExit.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

namespace rtl {

// What the thread and every waiter share. It outlives the TThread object when the thread frees
// itself, so waiters that hold a share never touch freed memory.
struct TThread::State {
  TMutex mutex;
  std::condition_variable_any changed;
  std::atomic<std::uint32_t> tid{0};
  int baseNice GUARDED_BY(mutex) = 0;  // the nice value the thread started with, once baseKnown
  bool baseKnown GUARDED_BY(mutex) = false;
  bool suspended GUARDED_BY(mutex) = true;  // the OS thread always starts held
  bool finished GUARDED_BY(mutex) = false;
  bool destroying GUARDED_BY(mutex) = false;  // an owner is deleting the object
  std::exception_ptr fatalException GUARDED_BY(mutex);

  // Applies a level as a nice value; the id must be known.
  void ApplyPriority(TThreadPriority priority) REQUIRES(mutex);
};

namespace {

[[noreturn]] void RaiseThreadError(int error) {
  throw EThread(Format("Thread Error: %s (%d)", std::system_category().message(error), error));
}

int NiceOffset(TThreadPriority priority) {
  static constexpr int offsets[] = {19, 10, 5, 0, -5, -10, -20};
  return offsets[priority];
}

[[noreturn]] void RaiseCreationError(int error) {
  throw EThread(Format("Thread creation error: %s", std::system_category().message(error)));
}

// What a new OS thread starts from; it takes the pieces over and frees the block.
struct ThreadStartBlock {
  TThread* self;
  std::shared_ptr<void> state;
};

}  // namespace

TThread::TThread(bool createSuspended, std::size_t stackSize)
    : state_(std::make_shared<State>()), createSuspended_(createSuspended) {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes)) RaiseCreationError(error);
  const auto attributesGone = ScopeExit([&attributes] { pthread_attr_destroy(&attributes); });
  if (stackSize > 0) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t size = std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN);
    size = (size + page - 1) / page * page;
    if (int error = pthread_attr_setstacksize(&attributes, size)) RaiseCreationError(error);
  }
  auto start = std::make_unique<ThreadStartBlock>(ThreadStartBlock{this, state_});
  // The creator goes on at once; the thread reports its id and waits to be released.
  if (int error = pthread_create(&handle_, &attributes, &TThread::ThreadStart, start.get()))
    RaiseCreationError(error);
  static_cast<void>(start.release());  // ThreadStart frees it now
  joinable_ = true;
}

// Nothing escapes Shutdown (see there); the analyser follows its callees all the same.
TThread::~TThread() {  // NOLINT(bugprone-exception-escape)
#ifndef NDEBUG
  const std::type_info* released = releasedAs_.load();
  if (released && (!shutDownAs_ || *shutDownAs_ != *released)) {
    std::fprintf(stderr, "%s: a thread released as %s was not shut down first by its destructor\n",
                 shutDownAs_ ? shutDownAs_->name() : "~TThread", released->name());
    std::abort();
  }
#endif
  Shutdown();
  if (joinable_) {
    // Left joinable only when the thread is deleting itself.
    pthread_detach(handle_);
    joinable_ = false;
  }
}

void* TThread::ThreadStart(void* start) {
  std::unique_ptr<ThreadStartBlock> block(static_cast<ThreadStartBlock*>(start));
  TThread* self = block->self;
  std::shared_ptr<State> state = std::static_pointer_cast<State>(std::move(block->state));
  block.reset();
  ThreadProc(self, std::move(state));
  return nullptr;
}

void TThread::AfterConstruction() {
  if (constructed_) return;
  constructed_ = true;
  if (!createSuspended_) SetSuspended(false);
}

void TThread::Terminate() {
  terminated_.store(true);
}

bool TThread::Suspended() const {
  TMutexGuard lock(state_->mutex);
  return state_->suspended;
}

void TThread::SetSuspended(bool value) {
  State& s = *state_;
  if (!value) {
    // The first release is by the maker or owner of a whole object (or by a destructor of one
    // never released); later ones may come from other threads while the object goes, so only
    // the first one looks at its class.
    if (!releasedAs_.load()) {
      const std::type_info* none = nullptr;
      releasedAs_.compare_exchange_strong(none, &typeid(*this));
    }
    // A share of our own: once released, a thread may free itself and its state at any moment.
    std::shared_ptr<State> keep = state_;
    {
      TMutexGuard lock(keep->mutex);
      keep->suspended = false;
    }
    keep->changed.notify_all();
    return;
  }
  if (GetCurrentThreadId() == s.tid.load()) {
    BeginSelfSuspend();
    WaitWhileSuspended();
    return;
  }
  TMutexGuard lock(s.mutex);
  if (!s.suspended && !s.finished) RaiseThreadError(ENOTSUP);
}

void TThread::BeginSelfSuspend() {
  TMutexGuard lock(state_->mutex);
  state_->suspended = true;
}

void TThread::WaitWhileSuspended() {
  TMutexGuard lock(state_->mutex);
  state_->changed.wait(lock, [&]() REQUIRES(state_->mutex) { return !state_->suspended; });
}

void TThread::SetPriority(TThreadPriority value) {
  if (value < tpIdle || value > tpTimeCritical) RaiseThreadError(EINVAL);
  State& s = *state_;
  // While the thread has not finished, its id cannot belong to any other thread. Before it has
  // an id, the thread applies the level itself once it has one.
  TMutexGuard lock(s.mutex);
  priority_.store(value);
  if (s.finished || s.tid.load() == 0) return;
  // Normal before any change is the value the thread started with: nothing to ask the system.
  if (!s.baseKnown && value == tpNormal) return;
  s.ApplyPriority(value);
}

void TThread::State::ApplyPriority(TThreadPriority priority) {
  if (!baseKnown) {
    // Read at the first change only: until then the thread still has the value it started with.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load()));
    baseNice = errno == 0 ? nice : 0;
    baseKnown = true;
  }
  int nice = std::clamp(baseNice + NiceOffset(priority), -20, 19);
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid.load()), nice) != 0) {
    int error = errno;
    if (error != EPERM && error != EACCES) RaiseThreadError(error);
  }
}

std::uint32_t TThread::ThreadID() const {
  State& s = *state_;
  if (std::uint32_t tid = s.tid.load()) return tid;
  TMutexGuard lock(s.mutex);
  s.changed.wait(lock, [&] { return s.tid.load() != 0; });
  return s.tid.load();
}

bool TThread::Finished() const {
  TMutexGuard lock(state_->mutex);
  return state_->finished;
}

std::exception_ptr TThread::FatalException() const {
  TMutexGuard lock(state_->mutex);
  return state_->fatalException;
}

void TThread::WaitFor() {
  // A share of our own: the thread may free this object while we wait.
  std::shared_ptr<State> state = state_;
  if (GetCurrentThreadId() == state->tid.load()) RaiseThreadError(EDEADLK);
  WaitUntilFinished(state, true);
}

void TThread::WaitUntilFinished(const std::shared_ptr<State>& state, bool raiseQueueErrors) {
  auto finished = [&] {
    TMutexGuard lock(state->mutex);
    return state->finished;
  };
  if (!IsMainThread()) {
    TMutexGuard lock(state->mutex);
    state->changed.wait(lock, [&]() REQUIRES(state->mutex) { return state->finished; });
    return;
  }
  // The main thread waits in slices and runs queued calls between them; a thread ending or a
  // call being queued cuts the slice short.
  for (;;) {
    std::uint64_t seen = MainThreadSignalCount();
    try {
      CheckSynchronize(0);
    } catch (...) {
      // A destructor's wait (Shutdown) has nobody to pass a queued call's failure to.
      if (raiseQueueErrors) throw;
    }
    if (finished()) return;
    WaitMainThreadSignal(seen, 1000);
  }
}

// Shutdown only releases the thread and waits without raising the main thread's queue errors;
// the analyser sees the throwing paths of its callees that this never takes.
void TThread::Shutdown() noexcept {  // NOLINT(bugprone-exception-escape)
  if (!shutDownAs_) shutDownAs_ = &typeid(*this);
  State& s = *state_;
  if (GetCurrentThreadId() == s.tid.load()) return;
  bool finished;
  {
    TMutexGuard lock(s.mutex);
    s.destroying = true;
    finished = s.finished;
  }
  if (!finished) {
    Terminate();
    SetSuspended(false);
    WaitUntilFinished(state_, false);
  }
  if (joinable_) {
    pthread_join(handle_, nullptr);
    joinable_ = false;
  }
}

void TThread::ThreadProc(TThread* self, std::shared_ptr<State> state) {
  std::uint32_t tid = GetCurrentThreadId();
  {
    TMutexGuard lock(state->mutex);
    state->tid.store(tid);
    if (self->priority_.load() != tpNormal) {
      try {
        state->ApplyPriority(self->priority_.load());
      } catch (const EThread&) {
        // Nobody to tell; the level is still reported as asked for.
      }
    }
  }
  state->changed.notify_all();
  {
    TMutexGuard lock(state->mutex);
    state->changed.wait(lock, [&]() REQUIRES(state->mutex) { return !state->suspended; });
  }

  std::exception_ptr fatal;
  if (!self->Terminated()) {
    try {
      self->Execute();
    } catch (...) {
      fatal = std::current_exception();
    }
  }
  try {
    self->DoTerminate();
  } catch (...) {
    if (!fatal) fatal = std::current_exception();
  }

  bool freeSelf;
  {
    TMutexGuard lock(state->mutex);
    state->fatalException = std::move(fatal);
    freeSelf = self->FreeWhenFinished() && !state->destroying;
    if (!freeSelf) state->finished = true;
  }
  // Not finished: the owner may delete the object from here on, so only the state is touched.
  if (freeSelf) {
    delete self;
    TMutexGuard lock(state->mutex);
    state->finished = true;
  }
  state->changed.notify_all();
  SignalMainThread();
}

}  // namespace rtl
