#pragma once

#include <cstdint>
#include <functional>

// The queue of calls that other threads hand to the main thread.
//
// The main thread is the process's initial thread (the one whose id equals the process id) unless
// SetMainThread has named another; it never changes by itself, so a worker that happens to touch
// the queue first cannot become "main" by accident.
//
// Calls from all threads run on the main thread one at a time, in the order they were queued, when
// the main thread calls CheckSynchronize: the Qt program does that from its event loop (woken by
// the hook given to SetWakeMainThread), the Qt-free tests call it themselves, and TThread::WaitFor
// on the main thread does it while it waits.
namespace rtl {

// Makes the calling thread the main thread from now on.
void SetMainThread();
std::uint32_t MainThreadId();
bool IsMainThread();

// Runs `call` on the main thread and waits until it has run. An exception raised by the call is
// raised again here. On the main thread the call runs at once. A worker that synchronizes while
// the main thread never serves the queue waits for ever.
void Synchronize(std::function<void()> call);

// Hands `call` to the main thread without waiting. On the main thread the call runs at once.
// An owner (any address) can withdraw its calls that have not run yet with RemoveQueuedCalls,
// which it does before it goes, so that no call outlives what it updates.
void Queue(std::function<void()> call, const void* owner = nullptr);
// Main thread: drops every queued call of `owner` that has not begun.
void RemoveQueuedCalls(const void* owner);

// On the main thread: waits up to timeoutMs (0: not at all) for a queued call, then runs every call
// queued so far, one at a time in order, taking each from the queue only as it begins, so that a
// call that serves the queue itself keeps the order and a withdrawn call never runs. Calls queued
// while these run wait for the next CheckSynchronize. When a queued call raises, the calls after
// it stay queued and the exception leaves here. Returns whether anything ran. On any other thread
// it does nothing and returns false.
bool CheckSynchronize(std::int32_t timeoutMs = 0);

// Called, on the queuing thread, every time a call is queued; the window system uses it to wake its
// event loop. An empty function removes the hook.
void SetWakeMainThread(std::function<void()> wake);

// For waits on the main thread that must also serve the queue: a counter that moves whenever a
// call is queued or SignalMainThread is called, and a wait until it moves.
std::uint64_t MainThreadSignalCount();
void SignalMainThread();
// Waits until the counter differs from `seen` or timeoutMs has passed; true when it moved.
bool WaitMainThreadSignal(std::uint64_t seen, std::int32_t timeoutMs);

}  // namespace rtl
