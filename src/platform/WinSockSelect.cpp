// select over the WinSock set layout, built on poll so that descriptor numbers do not matter.
//
// Readiness follows WinSock: a listening socket is readable when a connection is waiting; a
// connected one is readable when data, the end of the stream or an error is waiting, and writable
// when a send would not block (or would fail at once); the exception set reports urgent data and
// a connect that failed. A stream socket that is neither listening nor connected is never ready.
// If another thread closes one of the sockets while select waits, select fails with WSAEINTR and
// leaves the sets as they were.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/PosixSocket.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"

namespace winsock {

namespace {

using detail::Fail;
using detail::SocketEntry;

enum SetKind { kRead, kWrite, kExcept, kSetKinds };

constexpr int kSliceMs = 50;  // for sockets whose closing poll cannot see

struct Watched {
  SOCKET socket;
  std::shared_ptr<SocketEntry> entry;
  short events = 0;
  bool ready[kSetKinds] = {};
};

short EventsFor(SetKind kind) {
  switch (kind) {
    case kRead:
      return posix::kPollIn;
    case kWrite:
      return posix::kPollOut;
    default:
      return posix::kPollPri;
  }
}

bool IsReady(SetKind kind, const SocketEntry& entry, short revents) {
  const bool in = revents & posix::kPollIn;
  const bool out = revents & posix::kPollOut;
  const bool urgent = revents & posix::kPollPri;
  const bool broken = revents & (posix::kPollErr | posix::kPollHup);
  if (!entry.Stream()) {
    if (kind == kRead) return in || (revents & posix::kPollErr);
    if (kind == kWrite) return out || (revents & posix::kPollErr);
    return urgent;
  }
  switch (entry.GetState()) {
    case SocketEntry::State::Fresh:
      return false;
    case SocketEntry::State::Listening:
      return kind == kRead && (in || (revents & posix::kPollErr));
    case SocketEntry::State::Connecting:
      if (kind == kWrite) return out && !broken;
      return kind == kExcept && broken;
    case SocketEntry::State::Connected:
      if (kind == kRead) return in || broken;
      if (kind == kWrite) return out || broken;
      return urgent;
  }
  return false;
}

}  // namespace

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) {
  if (!detail::CheckStarted()) return SOCKET_ERROR;
  fd_set* sets[kSetKinds] = {readfds, writefds, exceptfds};
  u_int total = 0;
  for (fd_set* set : sets) {
    if (!set) continue;
    if (set->fd_count > static_cast<u_int>(FDSET_SIZE)) return Fail(WSAEINVAL);
    total += set->fd_count;
  }
  // WinSock refuses to wait on nothing at all.
  if (total == 0) return Fail(WSAEINVAL);
  std::int64_t timeoutMs = -1;
  if (timeout) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return Fail(WSAEINVAL);
    // Rounded up, so that a wait of a few microseconds still waits rather than spins.
    timeoutMs =
        std::int64_t{timeout->tv_sec} * 1000 + (std::int64_t{timeout->tv_usec} + 999) / 1000;
  }

  // One poll item per distinct socket.
  std::vector<Watched> watched;
  watched.reserve(total);
  std::vector<std::size_t> slots[kSetKinds];  // set slot -> index in watched
  for (int kind = 0; kind < kSetKinds; ++kind) {
    if (!sets[kind]) continue;
    for (u_int i = 0; i < sets[kind]->fd_count; ++i) {
      const SOCKET s = sets[kind]->fd_array[i];
      auto known = std::find_if(watched.begin(), watched.end(),
                                [s](const Watched& w) { return w.socket == s; });
      if (known == watched.end()) {
        auto entry = detail::Sockets().Find(s);
        if (!entry || entry->Closed()) return Fail(WSAENOTSOCK);
        known = watched.insert(watched.end(), Watched{s, std::move(entry)});
      }
      known->events = static_cast<short>(known->events | EventsFor(static_cast<SetKind>(kind)));
      slots[kind].push_back(static_cast<std::size_t>(known - watched.begin()));
    }
  }
  // Counted as waiting on every socket, so that closing any of them shuts it down and ends poll.
  struct Waiting {
    std::vector<Watched>& watched;
    ~Waiting() {
      for (Watched& w : watched)
        w.entry->EndWait();
    }
  } waiting{watched};
  for (Watched& w : watched)
    w.entry->BeginWait();
  for (const Watched& w : watched)
    if (w.entry->Closed()) return Fail(WSAENOTSOCK);

  const std::size_t count = watched.size();
  std::vector<posix::PollItem> items(count);
  // A socket that poll does not watch cannot end it when closed; then poll goes in slices.
  bool sliced = false;
  for (std::size_t i = 0; i < count; ++i) {
    SocketEntry& entry = *watched[i].entry;
    const bool idle = entry.Stream() && entry.GetState() == SocketEntry::State::Fresh;
    items[i] = {idle ? -1 : entry.Descriptor(), watched[i].events, 0};
    sliced = sliced || idle;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(timeoutMs, 0));
  for (;;) {
    int slice = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    if (sliced) slice = slice < 0 ? kSliceMs : std::min(slice, kSliceMs);

    const int polled = posix::Poll(items.data(), items.size(), slice);
    for (const Watched& w : watched)
      if (w.entry->Closed()) return Fail(WSAEINTR);
    if (polled < 0 && polled != -EINTR) return Fail(detail::ErrorFromErrno(-polled));

    int ready = 0;
    if (polled > 0) {
      for (std::size_t i = 0; i < count; ++i) {
        Watched& w = watched[i];
        bool any = false;
        for (int kind = 0; kind < kSetKinds; ++kind) {
          w.ready[kind] = (w.events & EventsFor(static_cast<SetKind>(kind))) &&
                          IsReady(static_cast<SetKind>(kind), *w.entry, items[i].revents);
          any = any || w.ready[kind];
        }
        // Something the caller did not ask about (a hang-up on a listening socket, say) would
        // keep poll returning at once; stop watching that socket for the rest of this call.
        if (!any && items[i].revents != 0) {
          items[i].fd = -1;
          sliced = true;
        }
      }
      for (int kind = 0; kind < kSetKinds; ++kind)
        for (std::size_t at : slots[kind])
          ready += watched[at].ready[kind] ? 1 : 0;
    }

    const bool timedOut = timeoutMs >= 0 && Clock::now() >= deadline;
    if (ready == 0 && !timedOut) continue;
    // WinSock leaves only the ready sockets in each set.
    for (int kind = 0; kind < kSetKinds; ++kind) {
      fd_set* set = sets[kind];
      if (!set) continue;
      u_int kept = 0;
      for (u_int i = 0; i < set->fd_count; ++i)
        if (ready > 0 && watched[slots[kind][i]].ready[kind])
          set->fd_array[kept++] = set->fd_array[i];
      set->fd_count = kept;
    }
    return ready;
  }
}

}  // namespace winsock
