#include "support/RawPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test {
namespace {

// Waits until fd is readable; false on time-out.
bool WaitIn(int fd, std::int32_t timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

RawPeer RawPeer::ConnectTo(std::int32_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd < 0) return RawPeer();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect to 127.0.0.1:" << port << ": " << std::strerror(errno);
    ::close(fd);
    return RawPeer();
  }
  return RawPeer(fd);
}

RawPeer::~RawPeer() {
  Close();
}

RawPeer::RawPeer(RawPeer&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

RawPeer& RawPeer::operator=(RawPeer&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool RawPeer::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string RawPeer::ReadExactly(std::size_t count, std::int32_t timeoutMs) {
  std::string received;
  char block[65536];
  while (received.size() < count && WaitIn(fd_, timeoutMs)) {
    ssize_t n = ::recv(fd_, block, std::min(sizeof block, count - received.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.append(block, static_cast<std::size_t>(n));
  }
  return received;
}

bool RawPeer::ReadUntilClosed(std::string& received, std::int32_t timeoutMs) {
  char block[65536];
  while (WaitIn(fd_, timeoutMs)) {
    ssize_t n = ::recv(fd_, block, sizeof block, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET;
    if (n == 0) return true;
    received.append(block, static_cast<std::size_t>(n));
  }
  return false;
}

void RawPeer::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void RawPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawPeer::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  Close();
}

}  // namespace test
