#include "rtl/Thread.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include <sys/resource.h>

#include "rtl/Format.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

namespace rtl {

// What the thread and every waiter share. It outlives the TThread object when the thread frees
// itself, so waiters that hold a share never touch freed memory.
struct TThread::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<std::uint32_t> tid{0};
  int baseNice = 0;         // the nice value the thread started with
  bool suspended = true;    // guarded by mutex; the OS thread always starts held
  bool finished = false;    // guarded by mutex
  bool destroying = false;  // guarded by mutex: an owner is deleting the object
};

namespace {

[[noreturn]] void RaiseThreadError(int error) {
  throw EThread(Format("Thread Error: %s (%d)", std::system_category().message(error), error));
}

int NiceOffset(TThreadPriority priority) {
  static constexpr int offsets[] = {19, 10, 5, 0, -5, -10, -20};
  return offsets[priority];
}

}  // namespace

TThread::TThread(bool createSuspended)
    : state_(std::make_shared<State>()), createSuspended_(createSuspended) {
  try {
    handle_ = std::thread(&TThread::ThreadProc, this, state_);
  } catch (const std::system_error& e) {
    throw EThread(Format("Thread creation error: %s", e.code().message()));
  }
  // Wait for the id, so that ThreadID and SetPriority work from here on.
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->tid.load() != 0; });
}

TThread::~TThread() {
  Shutdown();
  if (handle_.joinable()) {
    // Left joinable only when the thread is deleting itself.
    handle_.detach();
  }
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
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void TThread::SetSuspended(bool value) {
  State& s = *state_;
  if (!value) {
    // A share of our own: once released, a thread may free itself and its state at any moment.
    std::shared_ptr<State> keep = state_;
    {
      std::lock_guard lock(keep->mutex);
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
  std::lock_guard lock(s.mutex);
  if (!s.suspended && !s.finished) RaiseThreadError(ENOTSUP);
}

void TThread::BeginSelfSuspend() {
  std::lock_guard lock(state_->mutex);
  state_->suspended = true;
}

void TThread::WaitWhileSuspended() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return !state_->suspended; });
}

void TThread::SetPriority(TThreadPriority value) {
  if (value < tpIdle || value > tpTimeCritical) RaiseThreadError(EINVAL);
  priority_.store(value);
  State& s = *state_;
  // While the thread has not finished, its id cannot belong to any other thread.
  std::lock_guard lock(s.mutex);
  if (s.finished) return;
  int nice = std::clamp(s.baseNice + NiceOffset(value), -20, 19);
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(s.tid.load()), nice) != 0) {
    int error = errno;
    if (error != EPERM && error != EACCES) RaiseThreadError(error);
  }
}

std::uint32_t TThread::ThreadID() const {
  return state_->tid.load();
}

bool TThread::Finished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(state_->mutex);
  return fatalException_;
}

void TThread::WaitFor() {
  // A share of our own: the thread may free this object while we wait.
  std::shared_ptr<State> state = state_;
  if (GetCurrentThreadId() == state->tid.load()) RaiseThreadError(EDEADLK);
  WaitUntilFinished(state, true);
}

void TThread::WaitUntilFinished(const std::shared_ptr<State>& state, bool raiseQueueErrors) {
  auto finished = [&] {
    std::lock_guard lock(state->mutex);
    return state->finished;
  };
  if (!IsMainThread()) {
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return state->finished; });
    return;
  }
  // The main thread waits in slices and runs queued calls between them; a thread ending or a
  // call being queued cuts the slice short.
  for (;;) {
    std::uint64_t seen = MainThreadSignalCount();
    try {
      CheckSynchronize(0);
    } catch (...) {
      if (raiseQueueErrors) throw;
    }
    if (finished()) return;
    WaitMainThreadSignal(seen, 1000);
  }
}

void TThread::Shutdown() {
  State& s = *state_;
  if (GetCurrentThreadId() == s.tid.load()) return;
  bool finished;
  {
    std::lock_guard lock(s.mutex);
    s.destroying = true;
    finished = s.finished;
  }
  if (!finished) {
    Terminate();
    SetSuspended(false);
    WaitUntilFinished(state_, false);
  }
  if (handle_.joinable()) handle_.join();
}

void TThread::ThreadProc(TThread* self, std::shared_ptr<State> state) {
  std::uint32_t tid = GetCurrentThreadId();
  errno = 0;
  int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  {
    std::lock_guard lock(state->mutex);
    state->baseNice = errno == 0 ? nice : 0;
    state->tid.store(tid);
  }
  state->changed.notify_all();
  {
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return !state->suspended; });
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
    std::lock_guard lock(state->mutex);
    self->fatalException_ = std::move(fatal);
    freeSelf = self->FreeWhenFinished() && !state->destroying;
    if (!freeSelf) state->finished = true;
  }
  // Not finished: the owner may delete the object from here on, so only the state is touched.
  if (freeSelf) {
    delete self;
    std::lock_guard lock(state->mutex);
    state->finished = true;
  }
  state->changed.notify_all();
  SignalMainThread();
}

}  // namespace rtl
