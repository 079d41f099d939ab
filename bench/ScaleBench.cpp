// Prints what thousands of concurrent throttled downloads cost the proxy, held against nginx's
// limit_rate on the same load in the same run: how many came through correct, how closely they
// kept to the pacing model, and the threads, resident memory, descriptors and CPU time per
// download; then a burst of a thousand connects at once. The proxy runs in a process of its own
// (so every descriptor and page it holds is its own), as does the origin server; the clients run
// in this one. Loopback only. See README.md.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "Answer.h"
#include "BenchProxy.h"
#include "Downloads.h"
#include "Nginx.h"
#include "PacingModel.h"
#include "ScaleLoad.h"
#include "rtl/ResourceLimit.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kLimit = 4;
constexpr int kBurstDownloads = 1000;
constexpr std::int64_t kBurstBody = 12 * 1024;
constexpr double kBurstGoalSeconds = 6;
// Ramped loads keep at most this many connects waiting for their first byte, so that the
// connects go out as fast as the relay takes them without a burst's pile-up.
constexpr int kRampAwaiting = 32;

void Progress(const std::string& text) {
  std::fprintf(stderr, "[scale] %s\n", text.c_str());
}

// 12 to 20 KiB, in steps of 2 KiB.
std::int64_t BodyBytesOf(int i) {
  return 12 * 1024 + (i % 5) * 2048;
}

std::vector<DownloadSpec> ProxySpecs(int count, std::int32_t port, std::int32_t originPort,
                                     bool burst) {
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < count; ++i) {
    const std::int64_t body = burst ? kBurstBody : BodyBytesOf(i);
    specs.push_back({port, ProxyRequest(originPort, body, i), AnswerHeader(body, "1.0"), body, i});
  }
  return specs;
}

std::vector<DownloadSpec> NginxSpecs(int count, std::int32_t port, bool burst) {
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < count; ++i) {
    const std::int64_t body = burst ? kBurstBody : BodyBytesOf(i);
    // HTTP/1.0, so nginx closes after the answer as the proxy does; its headers are its own.
    DownloadSpec spec{port, DirectRequest(body, i), "", body, i};
    spec.AnyHeader = true;
    specs.push_back(spec);
  }
  return specs;
}

struct LoadRun {
  std::string Relay;
  int Downloads = 0;
  bool Burst = false;
  int Correct = 0;
  std::map<std::string, int> Errors;
  double MedianRatio = 0;  // download time / pacing model
  double P99Ratio = 0;
  double MaxRatio = 0;
  double LastEnd = 0;  // seconds from the first connect to the last close
  std::int64_t PeakConcurrent = 0;
  std::int64_t PeakRuns = -1;  // the proxy's own count; -1 for nginx
  ProcessSample Idle;
  ProcessSample Peak;
  double CpuSeconds = 0;
  std::string Error;

  double PerDownload(std::int64_t peak, std::int64_t idle) const {
    return PeakConcurrent > 0 ? static_cast<double>(peak - idle) / PeakConcurrent : 0;
  }
};

// Samples a process every 10 ms and keeps the highest values. Its descriptors are counted every
// 500 ms only: listing thousands of them costs the kernel enough to slow the relay down.
class Watcher {
 public:
  explicit Watcher(pid_t pid) : pid_(pid), thread_([this] { Loop(); }) {}
  ~Watcher() { Stop(); }

  ProcessSample Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  void Loop() {
    for (int round = 0; !stop_; ++round) {
      const ProcessSample s = SampleProcess(pid_, round % 50 == 0);
      peak_.Threads = std::max(peak_.Threads, s.Threads);
      peak_.VmRssKb = std::max(peak_.VmRssKb, s.VmRssKb);
      peak_.Descriptors = std::max(peak_.Descriptors, s.Descriptors);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  const pid_t pid_;
  std::atomic<bool> stop_{false};
  ProcessSample peak_;  // written by the thread, read after the join
  std::thread thread_;
};

// Runs the load against a relay process and measures it. idleNow tells when the relay has let
// go of every download after the clients are done.
template <class IdleNow>
LoadRun Measure(const std::string& relay, pid_t pid, const std::vector<DownloadSpec>& specs,
                bool burst, IdleNow idleNow) {
  LoadRun run;
  run.Relay = relay;
  run.Downloads = static_cast<int>(specs.size());
  run.Burst = burst;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.Idle = SampleProcess(pid, true);
  const bool hwmReset = ResetPeakRssOf(pid);
  const double cpuBefore = CpuSecondsOf(pid);
  Watcher watcher(pid);
  const DownloadBatch batch =
      RunManyDownloads(specs, burst ? 0 : kRampAwaiting, std::chrono::seconds(240));
  for (int i = 0; i < 1000 && !idleNow(run.Idle); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  run.CpuSeconds = CpuSecondsOf(pid) - cpuBefore;
  run.Peak = watcher.Stop();
  const ProcessSample after = SampleProcess(pid, false);
  if (hwmReset) run.Peak.VmRssKb = std::max(run.Peak.VmRssKb, after.VmHwmKb);

  std::vector<double> ratios;
  std::vector<std::pair<double, double>> spans;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const DownloadResult& result = batch.Results[i];
    spans.emplace_back(result.Started, result.Ended);
    run.LastEnd = std::max(run.LastEnd, result.Ended);
    if (!result.Correct) {
      ++run.Errors[result.Error];
      continue;
    }
    ++run.Correct;
    const std::int64_t answer =
        static_cast<std::int64_t>(AnswerHeader(specs[i].BodyBytes, "1.0").size()) +
        specs[i].BodyBytes;
    ratios.push_back((result.Ended - result.Started) / PacedSeconds(answer, kLimit));
  }
  run.MedianRatio = Percentile(ratios, 0.5);
  run.P99Ratio = Percentile(ratios, 0.99);
  run.MaxRatio = Percentile(ratios, 1.0);
  run.PeakConcurrent = PeakOverlap(spans);
  return run;
}

// The proxy in a fresh process of its own, as the program builds it; its peak count of runs is
// asked for over its input.
LoadRun MeasureProxy(int count, std::int32_t originPort, bool burst) {
  LoadRun failed;
  failed.Relay = "proxy";
  failed.Downloads = count;
  failed.Burst = burst;
  try {
    BenchChild proxy({"--proxy-process", std::to_string(kLimit)});
    const std::optional<std::string> ready = proxy.ReadLine(10000);
    if (!ready || ready->rfind("port ", 0) != 0)
      throw std::runtime_error("the proxy did not start");
    const std::int32_t port = std::atoi(ready->c_str() + 5);
    proxy.WriteLine("peak");  // starts its peak over
    proxy.ReadLine(5000);
    auto runsNow = [&proxy](long long* peak) {
      long long now = -1;
      proxy.WriteLine("peak");
      if (const auto line = proxy.ReadLine(5000))
        std::sscanf(line->c_str(), "peak %lld now %lld", peak, &now);
      return now;
    };
    long long peakRuns = 0;
    LoadRun run = Measure("proxy", proxy.Pid(), ProxySpecs(count, port, originPort, burst), burst,
                          [&](const ProcessSample&) {
                            long long peak = 0;
                            const long long now = runsNow(&peak);
                            peakRuns = std::max(peakRuns, peak);
                            return now == 0;
                          });
    run.PeakRuns = peakRuns;
    proxy.Finish();
    return run;
  } catch (const std::exception& e) {
    failed.Error = e.what();
    return failed;
  }
}

LoadRun MeasureNginx(const std::string& program, int count, std::int32_t originPort, bool burst) {
  LoadRun failed;
  failed.Relay = "nginx";
  failed.Downloads = count;
  failed.Burst = burst;
  try {
    Nginx nginx(program, originPort,
                "limit_rate " + std::to_string(kLimit * 1000) + "; proxy_max_temp_file_size 0;",
                2 * count + 64);
    LoadRun run = Measure("nginx", nginx.Pid(), NginxSpecs(count, nginx.Port(), burst), burst,
                          [&](const ProcessSample& idle) {
                            return SampleProcess(nginx.Pid(), true).Descriptors <= idle.Descriptors;
                          });
    nginx.Stop();
    return run;
  } catch (const std::exception& e) {
    failed.Error = e.what();
    return failed;
  }
}

void PrintLimits() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  std::printf(
      "Machine: %ld cores; open files %llu (hard %llu); threads-max %s; pid_max %s; "
      "vm.max_map_count %s; ephemeral ports %s; somaxconn %s\n",
      ::sysconf(_SC_NPROCESSORS_ONLN), static_cast<unsigned long long>(files.rlim_cur),
      static_cast<unsigned long long>(files.rlim_max),
      FirstLineOf("/proc/sys/kernel/threads-max").c_str(),
      FirstLineOf("/proc/sys/kernel/pid_max").c_str(),
      FirstLineOf("/proc/sys/vm/max_map_count").c_str(),
      FirstLineOf("/proc/sys/net/ipv4/ip_local_port_range").c_str(),
      FirstLineOf("/proc/sys/net/core/somaxconn").c_str());
}

void PrintRun(const LoadRun& run, const LoadRun* proxyRun) {
  if (!run.Error.empty()) {
    std::printf("  %-5s %6d  failed: %s\n", run.Relay.c_str(), run.Downloads, run.Error.c_str());
    return;
  }
  std::string cpuShare = "";
  if (proxyRun && proxyRun->Error.empty() && run.CpuSeconds > 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", proxyRun->CpuSeconds / run.CpuSeconds);
    cpuShare = text;
  }
  std::printf(
      "  %-5s %6d  %6d  %5.3f  %5.3f  %5.3f  %6.1f  %6lld  %6lld  %5.3f  %7.1f  %5.2f  %6.2f  %s\n",
      run.Relay.c_str(), run.Downloads, run.Correct, run.MedianRatio, run.P99Ratio, run.MaxRatio,
      run.LastEnd, static_cast<long long>(run.PeakConcurrent),
      static_cast<long long>(run.Peak.Threads), run.PerDownload(run.Peak.Threads, run.Idle.Threads),
      run.PerDownload(run.Peak.VmRssKb, run.Idle.VmRssKb),
      run.PerDownload(run.Peak.Descriptors, run.Idle.Descriptors), run.CpuSeconds,
      cpuShare.c_str());
  for (const auto& [error, count] : run.Errors)
    std::printf("          failed: %d x %s\n", count, error.c_str());
}

void PrintHeading() {
  std::printf(
      "  relay  loads correct  median   p99    max   last   peak    peak  threads   memory  "
      "descr.   CPU   proxy/\n"
      "                       (download / model)   end s   conc.   thr.  /dl      kB/dl    /dl "
      "   s     nginx CPU\n");
}

struct Options {
  std::vector<int> Counts = {1000, 3000, 10000};
  bool Nginx = true;
  bool Burst = true;
};

// nginx is measured up to this many downloads at once.
constexpr int kNginxUpTo = 3000;

int RunDriver(const Options& options) {
  const std::uint64_t files = rtl::RaiseOpenFileLimit();
  PrintLimits();
  const std::string nginxProgram = options.Nginx ? Nginx::Program() : std::string();
  if (options.Nginx && nginxProgram.empty())
    std::printf("nginx: not installed, its columns are left out (apt-get install nginx-light)\n");

  BenchChild origin({"--origin-process"});
  const std::optional<std::string> ready = origin.ReadLine(10000);
  if (!ready || ready->rfind("port ", 0) != 0) {
    std::fprintf(stderr, "the origin server did not start\n");
    return 1;
  }
  const std::int32_t originPort = std::atoi(ready->c_str() + 5);

  std::vector<LoadRun> runs;
  for (int count : options.Counts) {
    if (static_cast<std::uint64_t>(count) + 64 > files)
      std::fprintf(stderr, "[scale] %d downloads exceed this process's open-file limit %llu\n",
                   count, static_cast<unsigned long long>(files));
    Progress(std::to_string(count) + " ramped downloads through the proxy");
    runs.push_back(MeasureProxy(count, originPort, false));
    if (!nginxProgram.empty() && count <= kNginxUpTo) {
      Progress(std::to_string(count) + " ramped downloads through nginx");
      runs.push_back(MeasureNginx(nginxProgram, count, originPort, false));
    }
  }
  std::vector<LoadRun> bursts;
  if (options.Burst) {
    Progress(std::to_string(kBurstDownloads) + " connects at once through the proxy");
    bursts.push_back(MeasureProxy(kBurstDownloads, originPort, true));
    if (!nginxProgram.empty()) {
      Progress(std::to_string(kBurstDownloads) + " connects at once through nginx");
      bursts.push_back(MeasureNginx(nginxProgram, kBurstDownloads, originPort, true));
    }
  }
  origin.Finish();

  std::printf(
      "\nConcurrent throttled downloads at limit %d: answers of 12 to 20 KiB, connects ramped (at "
      "most %d waiting for their first byte)\n",
      kLimit, kRampAwaiting);
  std::printf(
      "  goals: every download correct; p99 within 1.01 of the model; at most 64 KiB and 2 "
      "descriptors per download;\n  CPU at most twice nginx's. nginx: limit_rate %d.\n",
      kLimit * 1000);
  PrintHeading();
  const LoadRun* lastProxy = nullptr;
  for (const LoadRun& run : runs) {
    PrintRun(run, run.Relay == "nginx" ? lastProxy : nullptr);
    if (run.Relay == "proxy") lastProxy = &run;
  }
  for (const LoadRun& run : runs)
    if (run.Relay == "proxy" && run.PeakRuns >= 0)
      std::printf("  proxy %6d: its own peak count of runs %lld\n", run.Downloads,
                  static_cast<long long>(run.PeakRuns));
  if (!bursts.empty()) {
    std::printf(
        "\n%d connects at once, %lld-byte answers (model %.0f s); goal: all correct, the last "
        "closed within %.0f s\n",
        kBurstDownloads, static_cast<long long>(kBurstBody),
        PacedSeconds(static_cast<std::int64_t>(AnswerHeader(kBurstBody, "1.0").size()) + kBurstBody,
                     kLimit),
        kBurstGoalSeconds);
    PrintHeading();
    const LoadRun* burstProxy = nullptr;
    for (const LoadRun& run : bursts) {
      PrintRun(run, run.Relay == "nginx" ? burstProxy : nullptr);
      if (run.Relay == "proxy") burstProxy = &run;
    }
  }
  return 0;
}

// The proxy's own process: built as the program builds it, with the program's open-file limit.
// It prints its port, then answers "peak" with the highest count of runs since the last ask and
// the count now, until its input closes.
int RunProxyProcess(std::int32_t limit) {
  EndWithParent("scale-proxy");
  rtl::RaiseOpenFileLimit();
  test::LoopbackProxy proxy(PacedProxy(limit));
  std::printf("port %d\n", proxy.Port());
  std::fflush(stdout);
  std::atomic<bool> stop{false};
  std::atomic<long long> peak{0};
  std::thread sampler([&] {
    while (!stop) {
      const long long now = proxy.Counters().ConnectionCount.load();
      long long seen = peak.load();
      while (now > seen && !peak.compare_exchange_weak(seen, now)) {
      }
      // Seldom: every wake-up here is CPU time that counts as the proxy's.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    if (std::strncmp(line, "peak", 4) != 0) continue;
    const long long now = proxy.Counters().ConnectionCount.load();
    std::printf("peak %lld now %lld\n", std::max(peak.exchange(now), now), now);
    std::fflush(stdout);
  }
  stop = true;
  sampler.join();
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--proxy-process" && i + 1 < argc) return RunProxyProcess(std::atoi(argv[i + 1]));
    if (arg == "--origin-process") return RunManyOriginProcess("scale-origin");
    if (arg == "--counts" && i + 1 < argc) {
      options.Counts = ParseCounts(argv[++i]);
    } else if (arg == "--no-nginx") {
      options.Nginx = false;
    } else if (arg == "--no-burst") {
      options.Burst = false;
    } else if (arg == "--burst-only") {
      options.Counts.clear();
    } else {
      std::fprintf(stderr,
                   "usage: %s [--counts N,N,...] [--no-nginx] [--no-burst] [--burst-only]\n",
                   argv[0]);
      return 2;
    }
  }
  try {
    return RunDriver(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
}
