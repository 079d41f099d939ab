#include "support/OriginServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/LoopbackListen.h"

namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// kept is the start of a request of total bytes.
bool HasWholeRequest(const std::string& kept, std::size_t total) {
  std::size_t end = kept.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::size_t length = 0;
  std::string header = kept.substr(0, end);
  for (char& c : header)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t at = header.find("content-length:");
  if (at != std::string::npos) length = std::strtoul(header.c_str() + at + 15, nullptr, 10);
  return total >= end + 4 + length;
}

// Waits up to ms for the descriptor to become readable; false on time-out.
bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

OriginServer::OriginServer(OriginScript script) : script_(std::move(script)) {
  listenFd_ = ListenOnLoopback(1024, port_, 0, script_.ipv6);
  if (listenFd_ < 0) {
    ADD_FAILURE() << "origin server could not listen: " << std::strerror(errno);
    return;
  }
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

OriginServer::~OriginServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& worker : workers_)
    worker.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::vector<std::string> OriginServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool OriginServer::WaitForRequests(std::size_t count, std::int32_t timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (requests_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void OriginServer::AcceptLoop() {
  while (!stopping_) {
    if (!WaitReadable(listenFd_, 50)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void OriginServer::Serve(int fd) {
  std::string request;
  std::size_t total = 0;
  char buffer[65536];
  bool clientClosed = false;
  bool answeredHead = false;
  while (!stopping_ && (script_.readUntilQuiet || !HasWholeRequest(request, total))) {
    if (!WaitReadable(fd, script_.readWaitMs)) break;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      clientClosed = true;
      break;
    }
    std::string_view got(buffer, static_cast<std::size_t>(n));
    const std::size_t kept =
        std::min(got.size(), script_.keepBytes - std::min(total, script_.keepBytes));
    request.append(got.substr(0, kept));
    if (kept < got.size() && script_.sink) script_.sink(got.substr(kept));
    if (!script_.afterHead.empty() && !answeredHead &&
        request.find("\r\n\r\n") != std::string::npos) {
      answeredHead = true;
      (void)::send(fd, script_.afterHead.data(), script_.afterHead.size(), MSG_NOSIGNAL);
    }
    total += got.size();
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  for (const auto& step : script_.answerFor ? script_.answerFor(request) : script_.steps) {
    if (clientClosed || stopping_) break;
    if (step.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
    std::size_t sent = 0;
    while (sent < step.bytes.size()) {
      ssize_t n = ::send(fd, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
  // Silent: hold the connection until the proxy closes it or the test ends.
  while (script_.silentAfter && !clientClosed && !stopping_) {
    if (WaitReadable(fd, 50) && ::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
  }
  ::close(fd);
  ++finished_;
}

}  // namespace test
