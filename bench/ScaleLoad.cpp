#include "ScaleLoad.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
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

extern char** environ;

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in LoopbackAddress(std::int32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// --- the client ------------------------------------------------------------------------------

enum class Phase { Waiting, Connecting, Receiving, Done };

struct Download {
  const DownloadSpec* spec = nullptr;
  DownloadResult* result = nullptr;
  Phase phase = Phase::Waiting;
  int fd = -1;
  std::size_t requestSent = 0;
  bool mismatch = false;
  std::int64_t headerBytes = -1;  // with AnyHeader: the header block's length, once it ended
  std::uint32_t lastFour = 0;
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

  void Start(Download& d) {
    ++awaiting_;
    d.result->Started = Now();
    d.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (d.fd < 0) return Finish(d, std::string("socket: ") + std::strerror(errno));
    const sockaddr_in address = LoopbackAddress(d.spec->Port);
    if (::connect(d.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
      return Finish(d, std::string("connect: ") + std::strerror(errno));
    d.phase = Phase::Connecting;
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = static_cast<std::uint64_t>(&d - downloads_.data());
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, d.fd, &event);
  }

  void OnEvent(Download& d, std::uint32_t events) {
    if (d.phase == Phase::Connecting) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(d.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return Finish(d, std::string("connect: ") + std::strerror(error));
      SendRequest(d);
      return;
    }
    if (d.phase == Phase::Receiving && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) Receive(d);
  }

  void SendRequest(Download& d) {
    const std::string& request = d.spec->Request;
    while (d.requestSent < request.size()) {
      ssize_t n = ::send(d.fd, request.data() + d.requestSent, request.size() - d.requestSent,
                         MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return Finish(d, std::string("send: ") + std::strerror(errno));
      }
      d.requestSent += static_cast<std::size_t>(n);
    }
    d.phase = Phase::Receiving;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(&d - downloads_.data());
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, d.fd, &event);
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
      if (d.result->FirstByte < 0) {
        d.result->FirstByte = Now();
        --awaiting_;
      }
      Check(d, buffer, static_cast<std::size_t>(n));
    }
  }

  void Check(Download& d, const char* bytes, std::size_t count) {
    const std::string& header = d.spec->ExpectedHeader;
    std::int64_t at = d.result->Bytes;
    std::int64_t mismatchAt = -1;
    for (std::size_t i = 0; i < count && !d.mismatch; ++i, ++at) {
      if (d.spec->AnyHeader && d.headerBytes < 0) {
        d.lastFour = d.lastFour << 8 | static_cast<unsigned char>(bytes[i]);
        if (d.lastFour == 0x0D0A0D0A) d.headerBytes = at + 1;
        continue;
      }
      const std::int64_t headerBytes =
          d.spec->AnyHeader ? d.headerBytes : static_cast<std::int64_t>(header.size());
      const char expected = at < headerBytes ? header[static_cast<std::size_t>(at)]
                                             : BodyByte(d.spec->Id, at - headerBytes);
      if (at >= headerBytes + d.spec->BodyBytes || bytes[i] != expected) {
        d.mismatch = true;
        mismatchAt = at;
      }
    }
    if (mismatchAt >= 0 && d.result->Error.empty()) {
      // An answer of the relay's own (a 503, say) differs in its status line already.
      const std::string_view text(bytes, count);
      const std::size_t lineEnd = std::min(text.find('\r'), text.size());
      d.result->Error = d.result->Bytes == 0 && !d.spec->AnyHeader &&
                                static_cast<std::size_t>(mismatchAt) < lineEnd
                            ? "answered: " + std::string(text.substr(0, lineEnd))
                            : "unexpected bytes";
    }
    d.result->Bytes += static_cast<std::int64_t>(count);
  }

  void Finish(Download& d, std::string error = {}) {
    if (d.phase == Phase::Done) return;
    if (d.result->FirstByte < 0) --awaiting_;
    if (d.fd >= 0) ::close(d.fd);  // also takes it out of the epoll set
    d.fd = -1;
    d.phase = Phase::Done;
    ++done_;
    d.result->Ended = Now();
    const std::int64_t expected =
        (d.spec->AnyHeader ? d.headerBytes
                           : static_cast<std::int64_t>(d.spec->ExpectedHeader.size())) +
        d.spec->BodyBytes;
    if (!d.result->Error.empty()) error = d.result->Error;
    if (error.empty() && d.spec->AnyHeader && d.headerBytes < 0)
      error = "no end of the header block";
    if (error.empty() && d.result->Bytes != expected)
      error = "closed after " + std::to_string(d.result->Bytes) + " of " +
              std::to_string(expected) + " bytes";
    d.result->Error = std::move(error);
    d.result->Correct = d.result->Error.empty();
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

struct ManyOrigin::Connection {
  enum class State { Reading, Writing, Draining };

  explicit Connection(int descriptor) : fd(descriptor) {}
  ~Connection() { ::close(fd); }

  int fd;
  State state = State::Reading;
  std::string request;
  std::string answer;
  std::size_t sent = 0;
};

ManyOrigin::ManyOrigin() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || epollFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listenFd_, SOMAXCONN) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
    throw std::runtime_error("origin server could not listen: " + reason);
  }
  port_ = ntohs(address.sin_port);
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
  char buffer[4096];
  const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (connection.state != Connection::State::Reading) return true;
  connection.request.append(buffer, static_cast<std::size_t>(n));
  const std::size_t end = connection.request.find("\r\n\r\n");
  if (end == std::string::npos) return connection.request.size() <= 65536;
  const std::string firstLine = connection.request.substr(0, connection.request.find("\r\n"));
  if (const auto asked = ParseAnswerRequest(firstLine)) {
    connection.answer = AnswerHeader(asked->BodyBytes, "1.1");
    const std::size_t headerBytes = connection.answer.size();
    connection.answer.resize(headerBytes + static_cast<std::size_t>(asked->BodyBytes));
    for (std::int64_t p = 0; p < asked->BodyBytes; ++p)
      connection.answer[headerBytes + static_cast<std::size_t>(p)] = BodyByte(asked->Id, p);
  } else {
    connection.answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  connection.request.clear();
  connection.state = Connection::State::Writing;
  return OnWritable(connection);
}

bool ManyOrigin::OnWritable(Connection& connection) {
  while (connection.sent < connection.answer.size()) {
    const ssize_t n = ::send(connection.fd, connection.answer.data() + connection.sent,
                             connection.answer.size() - connection.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    connection.sent += static_cast<std::size_t>(n);
  }
  // Half-close, and close once the client has: no unread byte turns our close into a reset.
  ::shutdown(connection.fd, SHUT_WR);
  std::string().swap(connection.answer);
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
