#include "ClientTestPeers.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {
namespace {

constexpr int kStepWaitMs = 10000;
constexpr int kSliceMs = 50;
constexpr auto kPieceGap = std::chrono::milliseconds(15);

sockaddr_in Loopback(std::int32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::int32_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// A socket bound to 127.0.0.1:port (0 = any), listening with the given backlog unless it is -1.
int BoundSocket(std::int32_t port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (backlog >= 0 && listen(fd, backlog) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// The loopback address of either version with the port, and its length.
socklen_t LoopbackOf(bool ipv6, std::int32_t port, sockaddr_storage* storage) {
  *storage = sockaddr_storage{};
  if (!ipv6) {
    sockaddr_in address = Loopback(port);
    std::memcpy(storage, &address, sizeof address);
    return sizeof address;
  }
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<std::uint16_t>(port));
  address.sin6_addr = in6addr_loopback;
  std::memcpy(storage, &address, sizeof address);
  return sizeof address;
}

// A socket listening on ::1 at a port the system picks, with the given backlog.
int ListeningSocket6(int backlog) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage address;
  const socklen_t length = LoopbackOf(true, 0, &address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool CanConnect(std::int32_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = Loopback(port);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptStep> script, bool drainUntilClose)
    : script_(std::move(script)), drainUntilClose_(drainUntilClose) {
  listenFd_ = BoundSocket(0, 4);
  port_ = listenFd_ < 0 ? 0 : LocalPort(listenFd_);
  if (listenFd_ >= 0) thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

std::string ScriptedServer::Received() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  return received_;
}

bool ScriptedServer::Completed() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  return completed_;
}

bool ScriptedServer::WaitFor(int fd, short events) {
  for (int waited = 0; waited < kStepWaitMs && !stop_; waited += kSliceMs) {
    pollfd entry{fd, events, 0};
    if (poll(&entry, 1, kSliceMs) > 0) return true;
  }
  return false;
}

void ScriptedServer::Run() {
  if (!WaitFor(listenFd_, POLLIN)) return;
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  auto take = [&](std::size_t count) {
    char buffer[4096];
    while (count > 0) {
      if (!WaitFor(fd, POLLIN)) return false;
      ssize_t n = recv(fd, buffer, std::min(count, sizeof buffer), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      std::lock_guard guard(lock_);
      received_.append(buffer, static_cast<std::size_t>(n));
      count -= static_cast<std::size_t>(n);
    }
    return true;
  };

  bool ok = true;
  for (const ScriptStep& step : script_) {
    ok = take(step.expect);
    for (std::size_t i = 0; ok && i < step.reply.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(kPieceGap);
      ok = SendAll(fd, step.reply[i]);
    }
    if (!ok) break;
  }
  if (ok && drainUntilClose_) {
    char buffer[4096];
    for (;;) {
      if (!WaitFor(fd, POLLIN)) {
        ok = false;
        break;
      }
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard guard(lock_);
      received_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  std::lock_guard guard(lock_);
  completed_ = ok;
}

UnansweredListener::UnansweredListener(bool ipv6) {
  listenFd_ = ipv6 ? ListeningSocket6(0) : BoundSocket(0, 0);
  if (listenFd_ < 0) return;
  port_ = LocalPort(listenFd_);  // the port sits where it does in both versions' addresses
  sockaddr_storage address;
  const socklen_t addressLength = LoopbackOf(ipv6, port_, &address);
  // Queue connections until one is not answered: from then on the kernel drops new requests.
  for (int attempt = 0; attempt < 16 && !ready_; ++attempt) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), addressLength) == 0) {
      queued_.push_back(fd);
      continue;
    }
    if (errno != EINPROGRESS) {
      close(fd);
      return;
    }
    pollfd entry{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&entry, 1, 300) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
        error == 0) {
      queued_.push_back(fd);
    } else {
      close(fd);
      ready_ = true;
    }
  }
}

UnansweredListener::~UnansweredListener() {
  for (int fd : queued_)
    close(fd);
  if (listenFd_ >= 0) close(listenFd_);
}

RefusingPort::RefusingPort() {
  fd_ = BoundSocket(0, -1);
  if (fd_ >= 0) port_ = LocalPort(fd_);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) close(fd_);
}

std::int32_t FreeLoopbackPort() {
  int fd = BoundSocket(0, -1);
  if (fd < 0) return 0;
  const std::int32_t port = LocalPort(fd);
  close(fd);
  return port;
}

std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool ChildServer::Start(const std::vector<std::string>& argv, std::int32_t port,
                        int lifetimeSeconds, std::string& error) {
  Stop();
  const std::string timeoutProgram = FindProgram("timeout");
  if (timeoutProgram.empty()) {
    error = "the timeout program is missing";
    return false;
  }
  // The program runs under timeout(1), so it ends by itself even if this process dies.
  ChildOptions options;
  options.argv = {timeoutProgram, "-k", "5", std::to_string(lifetimeSeconds)};
  options.argv.insert(options.argv.end(), argv.begin(), argv.end());
  if (!process_.Start(options)) {
    error = "cannot start " + argv.front() + ": " + std::strerror(errno);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process_.Running()) {
      Stop();
      error = argv.front() + " ended at start";
      return false;
    }
    if (CanConnect(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = argv.front() + " did not listen on port " + std::to_string(port);
  Stop();
  return false;
}

void ChildServer::Stop() {
  process_.Stop(5000);
}

}  // namespace test
