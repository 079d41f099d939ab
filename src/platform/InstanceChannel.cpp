#include "platform/InstanceChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(int error) {
  return std::strerror(error);
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool AddressOf(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Why dir cannot hold the channel; empty when it is a directory of this user alone.
std::string NotPrivate(const std::string& dir) {
  struct stat status = {};
  if (::lstat(dir.c_str(), &status) != 0) return dir + ": " + ErrorText(errno);
  if (!S_ISDIR(status.st_mode)) return dir + " is not a directory";
  if (status.st_uid != ::geteuid()) return dir + " belongs to another user";
  if ((status.st_mode & 077) != 0) return dir + " is open to other users";
  return {};
}

bool SameUser(int fd) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

// Waits until fd is ready for events or the deadline has passed.
bool AwaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd item = {fd, events, 0};
    const int ready = ::poll(&item, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

ChannelAnswer Failed(std::string problem) {
  return {ChannelAnswer::Outcome::Failed, {}, std::move(problem)};
}

}  // namespace

ChannelPlace FindChannelPlace(const std::string& name, const char* runtimeDir,
                              const std::string& sessionRoot, const std::string& fallbackRoot) {
  ChannelPlace place;
  const std::string user = std::to_string(::geteuid());
  std::string dir;
  if (runtimeDir && runtimeDir[0] == '/' && NotPrivate(runtimeDir).empty()) {
    dir = runtimeDir;
  } else if (NotPrivate(sessionRoot + "/" + user).empty()) {
    dir = sessionRoot + "/" + user;
  } else {
    dir = fallbackRoot + "/tramlet-" + user;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      place.problem = "cannot make " + dir + ": " + ErrorText(errno);
      return place;
    }
    // Made by someone else before us, it may be theirs or open to them.
    place.problem = NotPrivate(dir);
    if (!place.problem.empty()) return place;
  }
  place.socketPath = dir + "/" + name + ".sock";
  place.lockPath = dir + "/" + name + ".lock";
  sockaddr_un address = {};
  if (!AddressOf(place.socketPath, address))
    place.problem = place.socketPath + " is too long a path for a socket";
  return place;
}

std::string NetworkNamespaceId() {
  struct stat status = {};
  if (::stat("/proc/self/ns/net", &status) != 0) return {};
  return std::to_string(status.st_ino);
}

ChannelAnswer AskChannel(const std::string& socketPath, const std::string& request,
                         std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  sockaddr_un address = {};
  if (!AddressOf(socketPath, address)) return Failed(socketPath + " is no socket path");
  if (request.size() + 1 > kChannelMaxMessage) return Failed("the request is too long");
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) return Failed(ErrorText(errno));
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ECONNREFUSED)
      return {ChannelAnswer::Outcome::NoneRunning, {}, {}};
    // A full backlog: the instance has not taken its earlier connections for a while.
    if (error == EAGAIN) return Failed("it does not answer");
    return Failed(socketPath + ": " + ErrorText(error));
  }
  if (!SameUser(fd.Get()))
    return {ChannelAnswer::Outcome::NotTrusted, {}, socketPath + " belongs to another user"};

  const std::string line = request + "\n";
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n =
        ::send(fd.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return Failed(ErrorText(errno));
    } else if (!AwaitReady(fd.Get(), POLLOUT, deadline)) {
      return Failed("it does not answer");
    }
  }

  std::string answer;
  char buffer[kChannelMaxMessage];
  while (answer.find('\n') == std::string::npos) {
    if (answer.size() >= kChannelMaxMessage) return Failed("its answer is too long");
    if (!AwaitReady(fd.Get(), POLLIN, deadline)) return Failed("it does not answer");
    const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer - answer.size(), MSG_DONTWAIT);
    if (n == 0) return Failed("it closed the channel without answering");
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Failed(ErrorText(errno));
    }
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  answer.resize(answer.find('\n'));
  return {ChannelAnswer::Outcome::Answered, std::move(answer), {}};
}

ChannelServer::ChannelServer(ChannelPlace place) : place_(std::move(place)) {}

ChannelServer::~ChannelServer() {
  for (const auto& [fd, connection] : connections_)
    ::close(fd);
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    // The socket goes before the lock, so whoever takes the lock next finds the way clear.
    ::unlink(place_.socketPath.c_str());
    ::unlink(place_.lockPath.c_str());
  }
  if (lockFd_ >= 0) ::close(lockFd_);
}

ChannelServer::OpenResult ChannelServer::Open() {
  auto fail = [this](std::string problem) {
    problem_ = std::move(problem);
    if (lockFd_ >= 0) ::close(std::exchange(lockFd_, -1));
    return OpenResult::Failed;
  };
  if (!place_.problem.empty()) return fail(place_.problem);
  sockaddr_un address = {};
  if (!AddressOf(place_.socketPath, address)) return fail(place_.socketPath + " is no socket path");

  for (int attempt = 0; lockFd_ < 0; ++attempt) {
    UniqueFd lock(::open(place_.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lock.Get() < 0) return fail(place_.lockPath + ": " + ErrorText(errno));
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return OpenResult::Taken;
      return fail(place_.lockPath + ": " + ErrorText(errno));
    }
    // An owner on its way out removes the file after we opened it: only the one still there
    // counts, or two could hold a lock at once.
    struct stat held = {};
    struct stat there = {};
    if (::fstat(lock.Get(), &held) == 0 && ::stat(place_.lockPath.c_str(), &there) == 0 &&
        held.st_dev == there.st_dev && held.st_ino == there.st_ino) {
      lockFd_ = lock.Release();
    } else if (attempt == 10) {
      return fail(place_.lockPath + " keeps changing");
    }
  }

  // What is there was left by an instance that ended without removing it.
  if (::unlink(place_.socketPath.c_str()) != 0 && errno != ENOENT)
    return fail(place_.socketPath + ": " + ErrorText(errno));
  UniqueFd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (listening.Get() < 0 ||
      ::bind(listening.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(place_.socketPath.c_str(), 0600) != 0 || ::listen(listening.Get(), SOMAXCONN) != 0)
    return fail(place_.socketPath + ": " + ErrorText(errno));
  listenFd_ = listening.Release();
  return OpenResult::Serving;
}

std::vector<int> ChannelServer::Accept(Clock::time_point now) {
  std::vector<int> accepted;
  if (listenFd_ < 0) return accepted;
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // none waiting, or out of descriptors: the next readiness tries again
    }
    if (!SameUser(fd) || connections_.size() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    connections_.emplace(fd, Connection{{}, now + kChannelIdleLimit});
    accepted.push_back(fd);
  }
  return accepted;
}

bool ChannelServer::Read(int fd) {
  const auto found = connections_.find(fd);
  if (found == connections_.end()) return false;
  std::string& received = found->second.received;
  // One byte past the bound tells a line that is too long from one that ends right there.
  char buffer[kChannelMaxMessage + 1];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer - received.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = received.find('\n');
    if (end == std::string::npos) {
      if (received.size() < kChannelMaxMessage) continue;
      break;  // its line feed would come past the bound
    }
    if (end + 1 > kChannelMaxMessage) break;
    const std::string answer = OnRequest ? OnRequest(received.substr(0, end)) : std::string();
    if (!answer.empty()) {
      const std::string line = answer + "\n";
      // A few hundred bytes at most, into an empty socket buffer: it goes whole or not at all.
      [[maybe_unused]] const ssize_t sent =
          ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    break;
  }
  Close(fd);
  return false;
}

std::vector<int> ChannelServer::CloseOverdue(Clock::time_point now) {
  std::vector<int> overdue;
  for (const auto& [fd, connection] : connections_)
    if (connection.deadline <= now) overdue.push_back(fd);
  for (const int fd : overdue)
    Close(fd);
  return overdue;
}

std::optional<Clock::time_point> ChannelServer::NextDeadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [fd, connection] : connections_)
    if (!next || connection.deadline < *next) next = connection.deadline;
  return next;
}

void ChannelServer::Close(int fd) {
  if (connections_.erase(fd) != 0) ::close(fd);
}

}  // namespace platform
