#pragma once

// The table behind the WinSock socket numbers.
//
// A number names a SocketEntry, which owns the descriptor. Every call on a socket holds a
// shared_ptr to the entry for its whole duration; closesocket takes the number out of the table
// (so later calls fail at once), marks the entry closed and wakes whoever is waiting on it. The
// descriptor is closed by the entry's destructor, that is by whichever thread lets go of the last
// reference, so no thread can reach a descriptor number after the kernel has handed it out again.
// Numbers are never given out twice; when they run out, Add fails.
//
// Waiting happens in poll on the descriptor itself, with the waiter counted on the entry for the
// whole wait. MarkClosed shuts the descriptor down when anyone is counted, which wakes every poll
// on it and keeps it ready from then on; a waiter counted after the close sees Closed() instead.
// So a close costs no descriptor of its own and no wake-up is ever lost.

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "rtl/CriticalSection.h"

namespace winsock::detail {

enum class WaitResult { Ready, TimedOut, Closed, Failed };

class SocketEntry {
 public:
  // What our own calls have done with the socket; the kernel reports a never-connected stream
  // socket as hung up, so select needs to know which sockets can become ready at all.
  enum class State { Fresh, Connecting, Connected, Listening };

  // Takes ownership of descriptor (negative: none, for tests of the table alone).
  SocketEntry(int descriptor, bool stream, State state = State::Fresh, bool ipv6 = false);
  ~SocketEntry();
  SocketEntry(const SocketEntry&) = delete;
  SocketEntry& operator=(const SocketEntry&) = delete;

  int Descriptor() const { return descriptor_; }
  bool Stream() const { return stream_; }
  // AF_INET6 rather than AF_INET.
  bool Ipv6() const { return ipv6_; }
  bool Closed() const { return closed_.load(); }

  // Marks the entry closed and wakes every waiter. Idempotent.
  void MarkClosed();

  // Counts the caller as waiting in poll on the descriptor, until EndWait; Closed() right after
  // BeginWait tells whether to wait at all. The caller holds the entry meanwhile.
  void BeginWait() { waiters_.fetch_add(1); }
  void EndWait() { waiters_.fetch_sub(1); }

  // Waits until the descriptor reports one of events (or an error or hang-up), the entry is
  // closed, or timeoutMs passes (0: no limit). On Failed, *error holds the errno value.
  WaitResult Wait(short events, std::uint32_t timeoutMs, int* error);

  State GetState() const { return state_.load(std::memory_order_acquire); }
  void SetState(State state) { state_.store(state, std::memory_order_release); }
  // Sets to when the state is from; returns whether it did.
  bool ChangeState(State from, State to) {
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel);
  }

  // SO_RCVTIMEO and SO_SNDTIMEO in milliseconds, 0 for none. The descriptor is non-blocking, so
  // these are ours to apply.
  std::uint32_t ReceiveTimeout() const { return receiveTimeout_.load(std::memory_order_relaxed); }
  void SetReceiveTimeout(std::uint32_t ms) { receiveTimeout_.store(ms, std::memory_order_relaxed); }
  std::uint32_t SendTimeout() const { return sendTimeout_.load(std::memory_order_relaxed); }
  void SetSendTimeout(std::uint32_t ms) { sendTimeout_.store(ms, std::memory_order_relaxed); }

  // Directions shut down by shutdown(); WinSock fails later calls in them with WSAESHUTDOWN.
  bool ReceiveShut() const { return receiveShut_.load(std::memory_order_acquire); }
  bool SendShut() const { return sendShut_.load(std::memory_order_acquire); }
  void MarkShut(bool receive, bool send);

 private:
  const int descriptor_;
  const bool stream_;
  const bool ipv6_;
  std::atomic<bool> closed_{false};
  std::atomic<State> state_;
  std::atomic<std::uint32_t> receiveTimeout_{0};
  std::atomic<std::uint32_t> sendTimeout_{0};
  std::atomic<bool> receiveShut_{false};
  std::atomic<bool> sendShut_{false};
  // Threads counted by BeginWait. It and closed_ are written and read in sequentially consistent
  // order, so that a closer and a new waiter cannot both miss each other.
  std::atomic<int> waiters_{0};
};

class SocketTable {
 public:
  static constexpr std::int32_t kFirstNumber = 0x100;
  static constexpr std::int32_t kLastNumber = 0x7fffffff;

  explicit SocketTable(std::int32_t first = kFirstNumber, std::int32_t last = kLastNumber);

  // The entry's new number, or -1 when every number has been used (the entry is then dropped,
  // closing its descriptor).
  std::int32_t Add(std::shared_ptr<SocketEntry> entry);
  // The entry for a number, or null when it was never given out or has been removed.
  std::shared_ptr<SocketEntry> Find(std::int32_t number) const;
  // Takes the number out and marks its entry closed; null when the number is not in use.
  std::shared_ptr<SocketEntry> Remove(std::int32_t number);
  // Removes and marks closed every entry.
  std::vector<std::shared_ptr<SocketEntry>> RemoveAll();
  std::size_t Count() const;

 private:
  mutable rtl::TMutex mutex_;
  std::unordered_map<std::int32_t, std::shared_ptr<SocketEntry>> entries_ GUARDED_BY(mutex_);
  std::int64_t next_ GUARDED_BY(mutex_);
  const std::int64_t last_;
};

}  // namespace winsock::detail
