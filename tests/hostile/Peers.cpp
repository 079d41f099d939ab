#include "Peers.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace hostile {
namespace {

sockaddr_in Loopback(const char* address, std::int32_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address, &at.sin_addr);
  return at;
}

bool Ready(int fd, short events, std::int32_t timeoutMs) {
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

void Send(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ResetAndClose(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

}  // namespace

Client::Client(std::int32_t port, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const sockaddr_in from = Loopback(source, 0);
  const sockaddr_in to = Loopback("127.0.0.1", port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    Close();
}

Client::~Client() {
  Close();
}

bool Client::Send(std::string_view bytes, std::int32_t timeoutMs) {
  while (!bytes.empty()) {
    if (fd_ < 0 || !Ready(fd_, POLLOUT, timeoutMs)) return false;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Client::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string Client::Read(std::size_t count, std::int32_t timeoutMs) {
  std::string got;
  char buffer[4096];
  while (fd_ >= 0 && got.size() < count && Ready(fd_, POLLIN, timeoutMs)) {
    const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
    wasReset_ = n < 0 && errno == ECONNRESET;
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

std::optional<std::string> Client::ReadToClose(std::int32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  char buffer[4096];
  while (fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !Ready(fd_, POLLIN, static_cast<int>(left))) return std::nullopt;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    wasReset_ = n < 0 && errno == ECONNRESET;
    if (n <= 0) return got;  // closed, or reset
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

void Client::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Client::Reset() {
  if (fd_ >= 0) ResetAndClose(fd_);
  fd_ = -1;
}

Origin::Origin(Mode mode, std::string answer) : mode_(mode), answer_(std::move(answer)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Loopback("127.0.0.1", 0);
  socklen_t length = sizeof at;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::listen(listenFd_, mode == Mode::Blackhole ? 0 : 64);
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&at), &length);
  port_ = ntohs(at.sin_port);
  if (mode == Mode::Blackhole) {
    // One connection fills a queue of none; the SYNs of later ones are dropped unanswered.
    fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fillerFd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

Origin::~Origin() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : held_)
    ::close(fd);
  if (fillerFd_ >= 0) ::close(fillerFd_);
  ::close(listenFd_);
}

void Origin::Serve() {
  while (!stopping_) {
    if (!Ready(listenFd_, POLLIN, 20)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    Handle(fd);
  }
}

void Origin::Handle(int fd) {
  if (mode_ == Mode::NeverRead) {
    held_.push_back(fd);
    return;
  }
  // The request: until its header block ends, the proxy closes, or it pauses for 30 ms.
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && Ready(fd, POLLIN, 30)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  switch (mode_) {
    case Mode::Answer:
      Send(fd, answer_);
      ::close(fd);
      return;
    case Mode::Reset:
      ResetAndClose(fd);
      return;
    case Mode::AnswerAndHold:
      Send(fd, answer_);
      held_.push_back(fd);
      return;
    case Mode::AnswerAndReset:
      Send(fd, answer_);
      // A reset drops what is still queued: the answer goes first.
      for (int queued = 1, waits = 0;
           waits < 1000 && ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0; ++waits)
        Ready(fd, POLLERR, 1);
      ResetAndClose(fd);
      return;
    case Mode::CloseSilently:
      ::close(fd);
      return;
    case Mode::Drip:
      for (char c : answer_) {
        if (stopping_ || ::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the drip itself
      }
      ::close(fd);
      return;
    default:
      held_.push_back(fd);
      return;
  }
}

}  // namespace hostile
