#include "ScaleLoad.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Answer.h"
#include "ProcessProbe.h"
#include "rtl/ResourceLimit.h"
#include "support/LoopbackListen.h"

extern char** environ;

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// --- the client ------------------------------------------------------------------------------

enum class Phase { Waiting, Connecting, Receiving, Done };

struct Download : DownloadState {
  Phase phase = Phase::Waiting;
};

class Client {
 public:
  Client(const std::vector<DownloadSpec>& specs, DownloadBatch& batch, int maxAwaiting)
      : maxAwaiting_(maxAwaiting), epoch_(Clock::now()) {
    downloads_.resize(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
      downloads_[i].spec = &specs[i];
      downloads_[i].result = &batch.Results[i];
    }
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  }
  ~Client() {
    for (Download& d : downloads_)
      if (d.fd >= 0) ::close(d.fd);
    if (epollFd_ >= 0) ::close(epollFd_);
  }

  void Run(std::chrono::milliseconds timeLimit) {
    const Clock::time_point deadline = epoch_ + timeLimit;
    std::vector<epoll_event> events(1024);
    std::size_t next = 0;
    while (done_ < downloads_.size()) {
      while (next < downloads_.size() && (maxAwaiting_ <= 0 || awaiting_ < maxAwaiting_))
        Start(downloads_[next++]);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      const int ready = ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()),
                                     static_cast<int>(std::min<long long>(left, 100)));
      for (int i = 0; i < ready; ++i)
        OnEvent(downloads_[events[i].data.u64], events[i].events);
    }
    for (Download& d : downloads_)
      if (d.phase != Phase::Done) Finish(d, "timed out");
  }

 private:
  double Now() const { return std::chrono::duration<double>(Clock::now() - epoch_).count(); }

  void Watch(Download& d, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = static_cast<std::uint64_t>(&d - downloads_.data());
    ::epoll_ctl(epollFd_, op, d.fd, &event);
  }

  void Start(Download& d) {
    ++awaiting_;
    d.result->Started = Now();
    std::string error;
    if (d.Connect(error) == DownloadState::Progress::Failed) return Finish(d, std::move(error));
    // Even a connect done at once goes through the writable event, as one under way does.
    d.phase = Phase::Connecting;
    Watch(d, EPOLLOUT, EPOLL_CTL_ADD);
  }

  void OnEvent(Download& d, std::uint32_t events) {
    if (d.phase == Phase::Connecting) {
      if (std::string error = d.ConnectError(); !error.empty()) return Finish(d, std::move(error));
      std::string error;
      switch (d.SendRequest(error)) {
        case DownloadState::Progress::Done:
          d.phase = Phase::Receiving;
          Watch(d, EPOLLIN, EPOLL_CTL_MOD);
          return;
        case DownloadState::Progress::Blocked:
          return;
        case DownloadState::Progress::Failed:
          return Finish(d, std::move(error));
      }
    }
    if (d.phase == Phase::Receiving && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) Receive(d);
  }

  void Receive(Download& d) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(d.fd, buffer, sizeof buffer, 0);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return Finish(d, std::string("recv: ") + std::strerror(errno));
      }
      if (n == 0) return Finish(d);
      if (d.Arrived(buffer, static_cast<std::size_t>(n), Now())) --awaiting_;
    }
  }

  void Finish(Download& d, std::string error = {}) {
    if (d.phase == Phase::Done) return;
    if (d.result->FirstByte < 0) --awaiting_;
    d.phase = Phase::Done;
    ++done_;
    d.End(std::move(error), Now());  // the close also takes it out of the epoll set
  }

  std::vector<Download> downloads_;
  const int maxAwaiting_;
  const Clock::time_point epoch_;
  int epollFd_ = -1;
  int awaiting_ = 0;
  std::size_t done_ = 0;
};

// --- other processes -------------------------------------------------------------------------

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

DownloadBatch RunManyDownloads(const std::vector<DownloadSpec>& specs, int maxAwaitingFirstByte,
                               std::chrono::milliseconds timeLimit) {
  DownloadBatch batch;
  batch.Results.resize(specs.size());
  const auto started = Clock::now();
  {
    Client client(specs, batch, maxAwaitingFirstByte);
    client.Run(timeLimit);
  }
  batch.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return batch;
}

// --- the origin server -----------------------------------------------------------------------

struct ManyOrigin::Connection : OriginConnection {
  using OriginConnection::OriginConnection;
};

ManyOrigin::ManyOrigin() {
  listenFd_ = test::ListenOnLoopback(SOMAXCONN, port_, SOCK_NONBLOCK);
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (listenFd_ < 0 || epollFd_ < 0) {
    const std::string reason = std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
    throw std::runtime_error("origin server could not listen: " + reason);
  }
}

ManyOrigin::~ManyOrigin() {
  ::close(listenFd_);
  ::close(epollFd_);
}

void ManyOrigin::Run(int stopFd) {
  // Indexed by descriptor; the two fixed ones are told apart by a null slot.
  std::vector<std::unique_ptr<Connection>> connections;
  auto watch = [&](int fd, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    ::epoll_ctl(epollFd_, op, fd, &event);
  };
  watch(stopFd, EPOLLIN, EPOLL_CTL_ADD);
  watch(listenFd_, EPOLLIN, EPOLL_CTL_ADD);
  std::vector<epoll_event> events(1024);
  for (;;) {
    const int ready = ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), -1);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == stopFd) return;
      if (fd == listenFd_) {
        for (;;) {
          const int accepted = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (accepted < 0) break;
          if (static_cast<std::size_t>(accepted) >= connections.size())
            connections.resize(static_cast<std::size_t>(accepted) + 1024);
          connections[static_cast<std::size_t>(accepted)] = std::make_unique<Connection>(accepted);
          watch(accepted, EPOLLIN, EPOLL_CTL_ADD);
        }
        continue;
      }
      std::unique_ptr<Connection>& connection = connections[static_cast<std::size_t>(fd)];
      if (!connection) continue;
      const Connection::State before = connection->state;
      const bool alive = (events[i].events & EPOLLOUT) && before == Connection::State::Writing
                             ? OnWritable(*connection)
                             : OnReadable(*connection);
      if (!alive) {
        connection.reset();
      } else if (connection->state != before) {
        watch(fd, connection->state == Connection::State::Writing ? EPOLLOUT : EPOLLIN,
              EPOLL_CTL_MOD);
      }
    }
  }
}

bool ManyOrigin::OnReadable(Connection& connection) {
  if (!connection.Read()) return false;
  return connection.state != Connection::State::Writing || OnWritable(connection);
}

bool ManyOrigin::OnWritable(Connection& connection) {
  while (connection.sent < connection.AnswerBytes()) {
    const std::string block = connection.NextBlock(connection.AnswerBytes());
    const ssize_t n = ::send(connection.fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    connection.sent += n;
  }
  // Half-close, and close once the client has: no unread byte turns our close into a reset.
  ::shutdown(connection.fd, SHUT_WR);
  connection.state = Connection::State::Draining;
  return true;
}

// --- child processes ----------------------------------------------------------------------------

BenchChild::BenchChild(const std::vector<std::string>& args) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv = {"/proc/self/exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv)
    pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const int spawned =
      ::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  if (spawned != 0) {
    pid_ = -1;
    ::close(toChild_);
    ::close(fromChild_);
    throw std::runtime_error(std::string("cannot start a child: ") + std::strerror(spawned));
  }
}

BenchChild::~BenchChild() {
  Finish();
}

std::optional<std::string> BenchChild::ReadLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = buffered_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd item{fromChild_, POLLIN, 0};
    if (fromChild_ < 0 || left <= 0 || ::poll(&item, 1, static_cast<int>(left)) != 1)
      return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(fromChild_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    buffered_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool BenchChild::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  return toChild_ >= 0 &&
         ::write(toChild_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void BenchChild::Finish(int graceMs) {
  if (toChild_ >= 0) ::close(toChild_);
  toChild_ = -1;
  if (pid_ > 0) {
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    pid_t done;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (fromChild_ >= 0) ::close(fromChild_);
  fromChild_ = -1;
}

void EndWithParent(const char* name) {
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_NAME, name);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(1);  // the parent went before we could ask
}

int RunManyOriginProcess(const char* name) {
  EndWithParent(name);
  rtl::RaiseOpenFileLimit();
  ManyOrigin origin;
  std::printf("port %d\n", origin.Port());
  std::fflush(stdout);
  origin.Run(STDIN_FILENO);  // until our input closes
  return 0;
}

std::vector<int> ParseCounts(const std::string& text) {
  std::vector<int> counts;
  std::stringstream items(text);
  for (std::string item; std::getline(items, item, ',');)
    if (const int count = std::atoi(item.c_str()); count > 0) counts.push_back(count);
  return counts;
}

ProcessSample SampleProcess(pid_t pid, bool withDescriptors) {
  const std::string folder = "/proc/" + std::to_string(pid);
  const std::string status = ReadWhole(folder + "/status");
  ProcessSample sample;
  const ProcessStatus fields = ParseStatus(status);
  sample.Threads = fields.Threads;
  sample.VmRssKb = fields.VmRssKb;
  sample.VmHwmKb = fields.VmHwmKb;
  if (withDescriptors) {
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(folder + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
      ++sample.Descriptors;
  }
  return sample;
}

double CpuSecondsFromStat(std::string_view statText, long ticksPerSecond) {
  // The command name may hold blanks and parentheses; the fields start after the last ')'.
  const std::size_t close = statText.rfind(')');
  if (close == std::string_view::npos || ticksPerSecond <= 0) return 0;
  std::istringstream fields{std::string(statText.substr(close + 1))};
  std::string field;
  long long utime = 0, stime = 0;
  // Fields 3 to 13 (state to cmajflt), then utime and stime.
  for (int i = 3; i <= 13 && fields >> field; ++i) {
  }
  if (!(fields >> utime >> stime)) return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(ticksPerSecond);
}

double CpuSecondsOf(pid_t pid) {
  return CpuSecondsFromStat(ReadWhole("/proc/" + std::to_string(pid) + "/stat"),
                            ::sysconf(_SC_CLK_TCK));
}

bool ResetPeakRssOf(pid_t pid) {
  std::ofstream file("/proc/" + std::to_string(pid) + "/clear_refs");
  file << "5";
  file.flush();
  return static_cast<bool>(file);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::clamp(p, 0.0, 1.0) * static_cast<double>(values.size());
  std::size_t index = static_cast<std::size_t>(std::max(1.0, std::ceil(rank))) - 1;
  return values[std::min(index, values.size() - 1)];
}

std::int64_t PeakOverlap(const std::vector<std::pair<double, double>>& intervals) {
  std::vector<std::pair<double, int>> edges;
  for (const auto& [start, end] : intervals) {
    if (end < start) continue;
    edges.emplace_back(start, +1);
    edges.emplace_back(end, -1);
  }
  // At equal times an end comes before a start: [a, b) and [b, c) do not overlap.
  std::sort(edges.begin(), edges.end());
  std::int64_t current = 0, peak = 0;
  for (const auto& edge : edges) {
    current += edge.second;
    peak = std::max(peak, current);
  }
  return peak;
}

std::string FirstLineOf(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

}  // namespace bench
