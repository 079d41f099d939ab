#include "platform/SocketTable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/PosixSocket.h"

namespace winsock::detail {

SocketEntry::SocketEntry(int descriptor, bool stream, State state, bool ipv6)
    : descriptor_(descriptor), stream_(stream), ipv6_(ipv6), state_(state) {}

SocketEntry::~SocketEntry() {
  posix::Close(descriptor_);
}

void SocketEntry::MarkClosed() {
  if (closed_.exchange(true)) return;
  // Shutting down is what ends a poll on the descriptor, and it is only done when someone waits:
  // otherwise the descriptor is closed right away anyway, with the close's own effect on the peer
  // (a reset after SO_LINGER 0, say). Unconnected sockets are woken too; the error is no matter.
  if (waiters_.load() > 0) posix::Shutdown(descriptor_, true, true);
}

WaitResult SocketEntry::Wait(short events, std::uint32_t timeoutMs, int* error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  BeginWait();
  struct Waiting {
    SocketEntry& entry;
    ~Waiting() { entry.EndWait(); }
  } waiting{*this};
  if (Closed()) return WaitResult::Closed;

  for (;;) {
    int slice = -1;
    if (timeoutMs != 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WaitResult::TimedOut;
      slice = static_cast<int>(std::min<long long>(left, 1 << 30));
    }

    posix::PollItem item{descriptor_, events, 0};
    int ready = posix::Poll(&item, 1, slice);
    if (Closed()) return WaitResult::Closed;
    if (ready == -EINTR) continue;
    if (ready < 0) {
      *error = -ready;
      return WaitResult::Failed;
    }
    if (item.revents != 0) return WaitResult::Ready;
  }
}

void SocketEntry::MarkShut(bool receive, bool send) {
  if (receive) receiveShut_.store(true, std::memory_order_release);
  if (send) sendShut_.store(true, std::memory_order_release);
}

SocketTable::SocketTable(std::int32_t first, std::int32_t last) : next_(first), last_(last) {}

std::int32_t SocketTable::Add(std::shared_ptr<SocketEntry> entry) {
  rtl::TMutexGuard lock(mutex_);
  if (next_ > last_) return -1;
  const auto number = static_cast<std::int32_t>(next_++);
  entries_.emplace(number, std::move(entry));
  return number;
}

std::shared_ptr<SocketEntry> SocketTable::Find(std::int32_t number) const {
  rtl::TMutexGuard lock(mutex_);
  auto found = entries_.find(number);
  return found == entries_.end() ? nullptr : found->second;
}

std::shared_ptr<SocketEntry> SocketTable::Remove(std::int32_t number) {
  std::shared_ptr<SocketEntry> entry;
  {
    rtl::TMutexGuard lock(mutex_);
    auto found = entries_.find(number);
    if (found == entries_.end()) return nullptr;
    entry = std::move(found->second);
    entries_.erase(found);
  }
  entry->MarkClosed();
  return entry;
}

std::vector<std::shared_ptr<SocketEntry>> SocketTable::RemoveAll() {
  std::vector<std::shared_ptr<SocketEntry>> removed;
  {
    rtl::TMutexGuard lock(mutex_);
    removed.reserve(entries_.size());
    for (auto& [number, entry] : entries_)
      removed.push_back(std::move(entry));
    entries_.clear();
  }
  for (auto& entry : removed)
    entry->MarkClosed();
  return removed;
}

std::size_t SocketTable::Count() const {
  rtl::TMutexGuard lock(mutex_);
  return entries_.size();
}

}  // namespace winsock::detail
