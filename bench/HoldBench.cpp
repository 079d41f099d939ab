// Prints what the proxy holds, and for how long, under four loads from hostile peers: resident
// memory under chunked uploads of one-byte chunks with 4,000-byte extensions; threads under
// requests for a name of fifty addresses that never answer; and the time until it lets go of
// closed CONNECT tunnels to an origin that never sends, and of runs whose origin drips trailer
// bytes after a whole chunked body to clients that have closed. The proxy runs in a process of
// its own, with its real deadlines, in a network namespace of this benchmark's own where
// 192.0.2.0/24 is routed into loopback and dropped there, so no packet leaves. See README.md.

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HoldProxy.h"
#include "ScaleLoad.h"
#include "rtl/ResourceLimit.h"
#include "support/LoopbackListen.h"
#include "support/PrivateNetwork.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int ConnectTo(std::int32_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

bool SendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until text has come or timeoutMs passes without a byte; false on a close or an error.
bool ReadUntil(int fd, const std::string& text, int timeoutMs, std::string& got) {
  char buffer[4096];
  while (got.find(text) == std::string::npos) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return false;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

std::string FirstLine(const std::string& text) {
  return text.empty() ? "(nothing)" : text.substr(0, text.find("\r\n"));
}

// A proxy process, with what the benchmark asks of it.
class ProxyProcess {
 public:
  ProxyProcess() : child_({"--proxy-process"}) {
    const std::optional<std::string> ready = child_.ReadLine(10000);
    if (!ready || ready->rfind("port ", 0) != 0) throw std::runtime_error("no proxy");
    port_ = std::atoi(ready->c_str() + 5);
  }
  std::int32_t Port() const { return port_; }
  pid_t Pid() const { return child_.Pid(); }
  int Runs() {
    child_.WriteLine("runs");
    const std::optional<std::string> line = child_.ReadLine(5000);
    return line ? std::atoi(line->c_str() + 5) : -1;
  }
  ProcessSample Sample() const { return SampleProcess(child_.Pid(), false); }

 private:
  BenchChild child_;
  std::int32_t port_ = 0;
};

// Waits until the proxy counts no run and is back to its idle threads; the seconds that took, or
// none when it had not within capSeconds.
std::optional<double> SecondsToFree(ProxyProcess& proxy, std::int64_t idleThreads,
                                    double capSeconds, int& runsLeft) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    runsLeft = proxy.Runs();
    if (runsLeft == 0 && proxy.Sample().Threads <= idleThreads) return SecondsSince(start);
    if (SecondsSince(start) >= capSeconds) return std::nullopt;
    std::this_thread::sleep_for(100ms);
  }
}

void PrintFreed(const char* what, const std::optional<double>& seconds, int runsLeft,
                double capSeconds) {
  if (seconds) {
    std::printf("  %s freed after %.1f s\n", what, *seconds);
  } else {
    std::printf("  %s NOT freed within %.0f s: %d runs left\n", what, capSeconds, runsLeft);
  }
}

// 1. Chunked uploads whose chunks carry one byte and a 4,000-byte extension, one chunk per write.
void MeasureUploads(double seconds, std::int64_t maxBytesPerClient) {
  constexpr int kClients = 4;
  std::printf(
      "1. %d chunked uploads of 1-byte chunks with 4,000-byte extensions (%.0f s at most, "
      "%lld MB per client at most)\n",
      kClients, seconds, static_cast<long long>(maxBytesPerClient / 1000000));
  ProxyProcess proxy;
  const ProcessSample idle = proxy.Sample();
  ResetPeakRssOf(proxy.Pid());
  const std::string head =
      "POST http://127.0.0.1:9/up HTTP/1.1\r\nHost: 127.0.0.1:9\r\nTransfer-Encoding: "
      "chunked\r\n\r\n";
  const std::string chunk = "1;" + std::string(3999, 'e') + "\r\nd\r\n";
  struct Result {
    std::int64_t sent = 0;
    std::string answer;
  };
  std::vector<Result> results(kClients);
  std::atomic<int> running{kClients};
  std::vector<std::thread> clients;
  const Clock::time_point start = Clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Result& result = results[static_cast<std::size_t>(c)];
      const int fd = ConnectTo(proxy.Port());
      if (fd >= 0 && SendAll(fd, head)) {
        while (SecondsSince(start) < seconds && result.sent < maxBytesPerClient) {
          pollfd entry{fd, POLLIN | POLLOUT, 0};
          if (::poll(&entry, 1, 1000) <= 0) continue;
          if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
            ReadUntil(fd, "\r\n", 2000, result.answer);
            break;
          }
          const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n <= 0 && errno != EAGAIN) break;
          if (n > 0) result.sent += n;
          // One chunk per write, as a client writing each chunk as it makes it: the next goes once
          // the proxy's side has taken this one, so that reads do not merge them.
          for (int queued = 1; ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;)
            std::this_thread::sleep_for(20us);
        }
      }
      if (fd >= 0) ::close(fd);
      --running;
    });
  }
  std::int64_t peakKb = 0;
  while (running > 0) {
    peakKb = std::max(peakKb, proxy.Sample().VmRssKb);
    std::this_thread::sleep_for(100ms);
  }
  for (std::thread& client : clients)
    client.join();
  peakKb = std::max(peakKb, proxy.Sample().VmHwmKb);
  std::printf("  resident memory: %.1f MB idle, %.1f MB at the peak (%.1f s)\n",
              static_cast<double>(idle.VmRssKb) / 1000, static_cast<double>(peakKb) / 1000,
              SecondsSince(start));
  for (const Result& result : results)
    std::printf("  client: %.1f MB sent, then %s\n", static_cast<double>(result.sent) / 1e6,
                result.answer.empty() ? "no answer" : FirstLine(result.answer).c_str());
}

// 2. Requests for a name whose fifty addresses never answer.
void MeasureBlackHole(int requests, double capSeconds) {
  std::printf("2. %d request(s) for %s, %d addresses that never answer\n", requests, kHoleName,
              kHoleAddresses);
  ProxyProcess proxy;
  const std::int64_t idleThreads = proxy.Sample().Threads;
  const std::string request =
      std::string("GET http://") + kHoleName + "/ HTTP/1.1\r\nHost: " + kHoleName + "\r\n\r\n";
  std::vector<int> fds;
  for (int i = 0; i < requests; ++i) {
    const int fd = ConnectTo(proxy.Port());
    if (fd >= 0 && SendAll(fd, request)) fds.push_back(fd);
  }
  const Clock::time_point start = Clock::now();
  std::vector<std::string> answers(fds.size());
  std::vector<bool> done(fds.size(), false);
  std::int64_t peakThreads = 0;
  double lastAnswer = 0;
  std::size_t answered = 0;
  while (answered < fds.size() && SecondsSince(start) < capSeconds) {
    peakThreads = std::max(peakThreads, proxy.Sample().Threads - idleThreads);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      pollfd entry{fds[i], POLLIN, 0};
      if (done[i] || ::poll(&entry, 1, 0) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fds[i], buffer, sizeof buffer, 0);
      if (n > 0) {
        answers[i].append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      done[i] = true;
      ++answered;
      lastAnswer = SecondsSince(start);
    }
    std::this_thread::sleep_for(50ms);
  }
  std::map<std::string, int> kinds;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    const std::string body =
        answers[i].substr(std::min(answers[i].size(), answers[i].find("\r\n\r\n") + 4));
    ++kinds[done[i] ? FirstLine(answers[i]) + (body.empty() ? "" : ": " + FirstLine(body))
                    : "no answer yet"];
    ::close(fds[i]);
  }
  std::printf("  threads above idle: %lld at the peak (%.1f per request)\n",
              static_cast<long long>(peakThreads),
              static_cast<double>(peakThreads) / std::max<double>(1, requests));
  std::printf("  %zu of %zu answered, the last after %.1f s (cap %.0f s)\n", answered, fds.size(),
              lastAnswer, capSeconds);
  for (const auto& [kind, count] : kinds)
    std::printf("  %d x %s\n", count, kind.c_str());
}

// 3. CONNECT tunnels to an origin that never sends, whose clients close.
void MeasureClosedTunnels(int tunnels, double capSeconds) {
  std::printf("3. %d CONNECT tunnels to an origin that never sends; the clients close\n", tunnels);
  std::int32_t originPort = 0;
  // Connections the kernel completes and nobody accepts: they neither send nor close.
  const int listener = test::ListenOnLoopback(4096, originPort);
  ProxyProcess proxy;
  const std::int64_t idleThreads = proxy.Sample().Threads;
  const std::string request =
      "CONNECT 127.0.0.1:" + std::to_string(originPort) + " HTTP/1.1\r\n\r\n";
  std::vector<int> fds;
  for (int i = 0; i < tunnels; ++i) {
    const int fd = ConnectTo(proxy.Port());
    std::string got;
    if (fd >= 0 && SendAll(fd, request) && ReadUntil(fd, "\r\n\r\n", 5000, got)) fds.push_back(fd);
  }
  std::printf("  %zu tunnels open, %d runs\n", fds.size(), proxy.Runs());
  for (int fd : fds)
    ::close(fd);
  int runsLeft = 0;
  const std::optional<double> freed = SecondsToFree(proxy, idleThreads, capSeconds, runsLeft);
  PrintFreed("the runs", freed, runsLeft, capSeconds);
  ::close(listener);
}

// An origin that answers every request with a whole chunked body and then drips trailer bytes,
// one a connection every 100 ms, until stopped.
class TrailerDripOrigin {
 public:
  TrailerDripOrigin() : listener_(test::ListenOnLoopback(4096, port_)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~TrailerDripOrigin() {
    stop_ = true;
    thread_.join();
    for (const auto& [fd, request] : connections_)
      ::close(fd);
    ::close(listener_);
  }
  std::int32_t Port() const { return port_; }

 private:
  void Serve() {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n";
    Clock::time_point nextDrip = Clock::now();
    while (!stop_) {
      std::vector<pollfd> entries{{listener_, POLLIN, 0}};
      for (const auto& [fd, request] : connections_)
        entries.push_back({fd, POLLIN, 0});
      ::poll(entries.data(), entries.size(), 20);
      if (entries[0].revents & POLLIN) {
        if (const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0)
          connections_[fd] = "";
      }
      for (std::size_t i = 1; i < entries.size(); ++i) {
        if (!(entries[i].revents & POLLIN)) continue;
        std::string& request = connections_[entries[i].fd];
        char buffer[4096];
        const ssize_t n = ::recv(entries[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ::close(entries[i].fd);
          connections_.erase(entries[i].fd);
          continue;
        }
        const bool answered = request.find("\r\n\r\n") != std::string::npos;
        request.append(buffer, static_cast<std::size_t>(n));
        if (!answered && request.find("\r\n\r\n") != std::string::npos)
          ::send(entries[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      if (Clock::now() < nextDrip) continue;
      nextDrip += 100ms;
      for (const auto& [fd, request] : connections_)
        if (request.find("\r\n\r\n") != std::string::npos) ::send(fd, "X", 1, MSG_NOSIGNAL);
    }
  }

  std::int32_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::map<int, std::string> connections_;  // the serving thread's own
  std::thread thread_;
};

// 4. Runs whose origin drips trailer bytes after a whole chunked body; the clients close.
void MeasureTrailerDrips(int runs, double capSeconds) {
  std::printf("4. %d answers whose origin drips trailer bytes after the body; the clients close\n",
              runs);
  TrailerDripOrigin origin;
  ProxyProcess proxy;
  const std::int64_t idleThreads = proxy.Sample().Threads;
  const std::string request =
      "GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.1\r\n\r\n";
  std::vector<int> fds;
  for (int i = 0; i < runs; ++i) {
    const int fd = ConnectTo(proxy.Port());
    if (fd >= 0 && SendAll(fd, request)) fds.push_back(fd);
  }
  std::size_t whole = 0;
  for (int fd : fds) {
    std::string got;
    whole += ReadUntil(fd, "hello", 10000, got) ? 1 : 0;
  }
  std::printf("  %zu of %zu clients got the whole body, %d runs\n", whole, fds.size(),
              proxy.Runs());
  for (int fd : fds)
    ::close(fd);
  int runsLeft = 0;
  const std::optional<double> freed = SecondsToFree(proxy, idleThreads, capSeconds, runsLeft);
  PrintFreed("the runs", freed, runsLeft, capSeconds);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string only;
  double cap = 130;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--proxy-process") return RunHoldProxyProcess();
    if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--cap" && i + 1 < argc) {
      cap = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--only uploads|blackhole|tunnels|trailers] [--cap S]\n",
                   argv[0]);
      return 2;
    }
  }
  // A namespace of our own, where 192.0.2.0/24 leads into loopback and is dropped there.
  if (!test::EnterPrivateNetwork() ||
      std::system("ip route add 192.0.2.0/24 dev lo 2>/dev/null") != 0) {
    std::fprintf(stderr, "could not make a network namespace of our own\n");
    return 1;
  }
  rtl::RaiseOpenFileLimit();
  if (only.empty() || only == "uploads") MeasureUploads(20, 200'000'000);
  if (only.empty() || only == "blackhole") {
    MeasureBlackHole(1, std::max(cap, 160.0));
    MeasureBlackHole(20, std::max(cap, 160.0));
  }
  if (only.empty() || only == "tunnels") MeasureClosedTunnels(100, cap);
  if (only.empty() || only == "trailers") MeasureTrailerDrips(300, cap);
  return 0;
}
