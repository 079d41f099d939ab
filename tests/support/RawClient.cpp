#include "support/RawClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for events; false on time-out or error.
bool Wait(int fd, short events, std::int32_t timeoutMs) {
  pollfd entry{fd, events, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

RawClient RawClient::ConnectTo(std::int32_t port) {
  RawClient client;
  if (!client.Connect(port))
    ADD_FAILURE() << "connect to 127.0.0.1:" << port << ": " << std::strerror(errno);
  return client;
}

RawClient::~RawClient() {
  Close();
}

RawClient::RawClient(RawClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      opened_(std::exchange(other.opened_, false)),
      pending_(std::move(other.pending_)) {}

RawClient& RawClient::operator=(RawClient&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    opened_ = std::exchange(other.opened_, false);
    pending_ = std::move(other.pending_);
  }
  return *this;
}

bool RawClient::Open() {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  opened_ = fd_ >= 0;
  return opened_;
}

bool RawClient::Connect(std::int32_t port, std::int32_t timeoutMs) {
  if (!opened_ && !Open()) return false;
  opened_ = false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result != 0 && errno == EINPROGRESS) {
    int error = 0;
    socklen_t length = sizeof error;
    if (Wait(fd_, POLLOUT, timeoutMs) &&
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0) {
      result = error == 0 ? 0 : -1;
      errno = error;
    } else {
      errno = ETIMEDOUT;
    }
  }
  if (result != 0) {
    const int error = errno;
    Close();
    errno = error;
    return false;
  }
  return true;
}

bool RawClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) {
      if (!Wait(fd_, POLLOUT, 5000)) return false;
      continue;
    }
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

int RawClient::ReceiveSome(std::int32_t timeoutMs) {
  if (fd_ < 0) return 0;
  if (!Wait(fd_, POLLIN, timeoutMs)) return -1;
  char buffer[65536];
  ssize_t got;
  do {
    got = ::recv(fd_, buffer, sizeof buffer, 0);
  } while (got < 0 && errno == EINTR);
  wasReset_ = got < 0 && errno == ECONNRESET;
  if (got < 0) return errno == EAGAIN ? -1 : 0;  // a reset ends the stream too
  pending_.append(buffer, static_cast<std::size_t>(got));
  return static_cast<int>(got);
}

std::optional<std::string> RawClient::ReadLine(std::int32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (ReceiveSome(MsLeft(deadline)) <= 0) return std::nullopt;
  }
}

std::optional<std::string> RawClient::ReadToClose(std::int32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int got = ReceiveSome(MsLeft(deadline));
    if (got == 0) return std::exchange(pending_, {});
    if (got < 0) return std::nullopt;
  }
}

std::string RawClient::ReadExactly(std::size_t count, std::int32_t timeoutMs) {
  while (pending_.size() < count && ReceiveSome(timeoutMs) > 0) {
  }
  std::string taken = pending_.substr(0, count);
  pending_.erase(0, taken.size());
  return taken;
}

bool RawClient::ReadUntilClosed(std::string& received, std::int32_t timeoutMs) {
  for (;;) {
    int got = ReceiveSome(timeoutMs);
    received += std::exchange(pending_, {});
    if (got <= 0) return got == 0;
  }
}

void RawClient::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  opened_ = false;
  pending_.clear();
}

void RawClient::Reset() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

namespace {

int EntriesIn(const char* folder) {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

}  // namespace

int OpenDescriptorCount() {
  return EntriesIn("/proc/self/fd");
}

int SteadyDescriptorCount() {
  int fewest = OpenDescriptorCount();
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    fewest = std::min(fewest, OpenDescriptorCount());
  }
  return fewest;
}

int ThreadCount() {
  return EntriesIn("/proc/self/task");
}

std::int64_t RaiseOpenFileLimit(std::int64_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  rlim_t target = static_cast<rlim_t>(wanted);
  if (limit.rlim_max != RLIM_INFINITY) target = std::min(target, limit.rlim_max);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= target)
    return static_cast<std::int64_t>(limit.rlim_cur);
  limit.rlim_cur = target;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<std::int64_t>(limit.rlim_cur);
}

}  // namespace test
