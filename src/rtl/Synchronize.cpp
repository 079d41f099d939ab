#include "rtl/Synchronize.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <utility>

#include <unistd.h>

#include "rtl/CriticalSection.h"
#include "rtl/Time.h"

namespace rtl {
namespace {

// A Synchronize caller waits on this until the main thread has run its call.
struct Completion {
  bool done = false;
  std::exception_ptr error;
};

struct Entry {
  std::function<void()> call;
  Completion* completion = nullptr;  // none for Queue
  const void* owner = nullptr;       // who may withdraw it
  std::uint64_t number = 0;          // order of queuing
};

struct CallQueue {
  TMutex mutex;                          // also guards every waiting Completion
  std::condition_variable_any arrived;   // a call was queued or the signal count moved
  std::condition_variable_any finished;  // a synchronized call has run
  std::deque<Entry> entries GUARDED_BY(mutex);
  std::uint64_t signals GUARDED_BY(mutex) = 0;
  std::uint64_t lastNumber GUARDED_BY(mutex) = 0;
  std::function<void()> wake GUARDED_BY(mutex);
};

// Never destroyed: threads that free themselves may still queue while the process exits.
CallQueue& TheQueue() {
  static CallQueue* queue = new CallQueue;
  return *queue;
}

std::atomic<std::uint32_t> mainThreadId{0};  // 0: the process's initial thread

void Push(Entry entry) {
  CallQueue& q = TheQueue();
  std::function<void()> wake;
  {
    TMutexGuard lock(q.mutex);
    entry.number = ++q.lastNumber;
    q.entries.push_back(std::move(entry));
    ++q.signals;
    wake = q.wake;
  }
  q.arrived.notify_all();
  if (wake) wake();
}

}  // namespace

void SetMainThread() {
  mainThreadId.store(GetCurrentThreadId());
}

std::uint32_t MainThreadId() {
  std::uint32_t id = mainThreadId.load();
  return id != 0 ? id : static_cast<std::uint32_t>(::getpid());
}

bool IsMainThread() {
  return GetCurrentThreadId() == MainThreadId();
}

void Synchronize(std::function<void()> call) {
  if (IsMainThread()) {
    call();
    return;
  }
  Completion completion;
  Push(Entry{std::move(call), &completion});
  CallQueue& q = TheQueue();
  {
    TMutexGuard lock(q.mutex);
    q.finished.wait(lock, [&] { return completion.done; });
  }
  if (completion.error) std::rethrow_exception(completion.error);
}

void Queue(std::function<void()> call, const void* owner) {
  if (IsMainThread()) {
    call();
    return;
  }
  Push(Entry{std::move(call), nullptr, owner});
}

void RemoveQueuedCalls(const void* owner) {
  if (!owner) return;
  CallQueue& q = TheQueue();
  TMutexGuard lock(q.mutex);
  std::erase_if(q.entries, [owner](const Entry& entry) { return entry.owner == owner; });
}

bool CheckSynchronize(std::int32_t timeoutMs) {
  if (!IsMainThread()) return false;
  CallQueue& q = TheQueue();
  std::uint64_t last;
  {
    TMutexGuard lock(q.mutex);
    if (timeoutMs > 0)
      q.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(q.mutex) { return !q.entries.empty(); });
    last = q.lastNumber;
  }
  bool ran = false;
  for (;;) {
    Entry entry;
    {
      TMutexGuard lock(q.mutex);
      if (q.entries.empty() || q.entries.front().number > last) break;
      entry = std::move(q.entries.front());
      q.entries.pop_front();
    }
    ran = true;
    if (!entry.completion) {
      entry.call();  // an exception leaves the rest queued, in order
      continue;
    }
    std::exception_ptr error;
    try {
      entry.call();
    } catch (...) {
      error = std::current_exception();
    }
    {
      TMutexGuard lock(q.mutex);
      entry.completion->error = std::move(error);
      entry.completion->done = true;
    }
    q.finished.notify_all();
  }
  return ran;
}

void SetWakeMainThread(std::function<void()> wake) {
  CallQueue& q = TheQueue();
  TMutexGuard lock(q.mutex);
  q.wake = std::move(wake);
}

std::uint64_t MainThreadSignalCount() {
  CallQueue& q = TheQueue();
  TMutexGuard lock(q.mutex);
  return q.signals;
}

void SignalMainThread() {
  CallQueue& q = TheQueue();
  {
    TMutexGuard lock(q.mutex);
    ++q.signals;
  }
  q.arrived.notify_all();
}

bool WaitMainThreadSignal(std::uint64_t seen, std::int32_t timeoutMs) {
  CallQueue& q = TheQueue();
  TMutexGuard lock(q.mutex);
  return q.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                            [&]() REQUIRES(q.mutex) { return q.signals != seen; });
}

}  // namespace rtl
