#include "Origin.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Answer.h"
#include "ProcessProbe.h"
#include "support/LoopbackListen.h"

namespace bench {

struct Origin::Connection : OriginConnection {
  using OriginConnection::OriginConnection;
  // The next write (the body after a header sent apart, or the close) waits until then.
  std::optional<std::chrono::steady_clock::time_point> resumeAt;
  bool closeDelayed = false;
};

Origin::Origin(OriginOptions options) : options_(options) {
  listenFd_ = test::ListenOnLoopback(4096, port_, SOCK_NONBLOCK);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (listenFd_ < 0 || wakeFd_ < 0) {
    std::string reason = std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    throw std::runtime_error("origin server could not listen: " + reason);
  }
  thread_ = std::thread([this] { Loop(); });
}

Origin::~Origin() {
  Stop();
  ::close(listenFd_);
  ::close(wakeFd_);
}

double Origin::Stop() {
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    // An eventfd write of 8 bytes cannot be short; it could only fail on overflow, and one is
    // enough to wake the loop.
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  return cpuSeconds_;
}

void Origin::Loop() {
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<pollfd> polled;
  for (;;) {
    polled.clear();
    polled.push_back({wakeFd_, POLLIN, 0});
    polled.push_back({listenFd_, POLLIN, 0});
    int timeoutMs = -1;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& c : connections) {
      short events = c->state == Connection::State::Writing ? POLLOUT : POLLIN;
      if (c->resumeAt && *c->resumeAt > now) {
        // Not yet: wake up when it is time.
        events = 0;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*c->resumeAt - now).count();
        timeoutMs =
            timeoutMs < 0 ? static_cast<int>(wait) : std::min(timeoutMs, static_cast<int>(wait));
      } else if (c->resumeAt && c->state == Connection::State::Writing) {
        c->resumeAt.reset();
      }
      polled.push_back({c->fd, events, 0});
    }
    if (::poll(polled.data(), polled.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (polled[0].revents) break;

    // Connections accepted below are not in this round's poll set, so walk the old ones first.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < connections.size(); ++i) {
      short events = polled[i + 2].revents;
      bool alive = true;
      if (events & (POLLIN | POLLHUP | POLLERR))
        alive = connections[i]->state == Connection::State::Writing ? OnWritable(*connections[i])
                                                                    : OnReadable(*connections[i]);
      else if (events & POLLOUT)
        alive = OnWritable(*connections[i]);
      if (alive) connections[kept++] = std::move(connections[i]);
    }
    connections.resize(kept);

    if (polled[1].revents & POLLIN) {
      for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        connections.push_back(std::make_unique<Connection>(fd));
      }
    }
  }
  connections.clear();
  cpuSeconds_ = ThreadCpuSeconds();
}

bool Origin::OnReadable(Connection& connection) {
  if (!connection.Read()) return false;
  return connection.state != Connection::State::Writing || OnWritable(connection);
}

bool Origin::OnWritable(Connection& connection) {
  if (connection.resumeAt) return true;
  const std::int64_t headerBytes = static_cast<std::int64_t>(connection.header.size());
  const std::int64_t total =
      headerBytes +
      (options_.HeaderApart && connection.sent < headerBytes ? 0 : connection.bodyBytes);
  // One block per wake-up, so that a fast download cannot keep the others waiting for their
  // answers while it fills its socket buffers.
  if (connection.sent < total) {
    const std::string block = connection.NextBlock(total);
    ssize_t n = ::send(connection.fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    connection.sent += n;
    if (connection.sent < total) return true;
  }
  const auto now = std::chrono::steady_clock::now();
  if (total < headerBytes + connection.bodyBytes) {
    connection.resumeAt = now + std::chrono::milliseconds(kHeaderGapMs);
    return true;
  }
  if (options_.CloseDelayMs > 0 && !connection.closeDelayed) {
    connection.closeDelayed = true;
    connection.resumeAt = now + std::chrono::milliseconds(options_.CloseDelayMs);
    return true;
  }
  // Half-close and wait for the client's close, so that no unread byte turns our close into a
  // reset that could cut off the end of the answer.
  ++answered_;
  ::shutdown(connection.fd, SHUT_WR);
  connection.state = Connection::State::Draining;
  return true;
}

}  // namespace bench
