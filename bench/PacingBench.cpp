// Prints the rate a download gets against the limit it is given, what the proxy adds to the time
// to first byte, what a thousand throttled downloads at once cost it, and what relaying costs in
// memory and CPU. Every figure is held against a reference measured in the same run: nginx
// relaying the same answers, the origin server reached directly, or the process before the load.
// Loopback only; about three and a half minutes (--quick: about two).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Answer.h"
#include "BenchProxy.h"
#include "Downloads.h"
#include "Nginx.h"
#include "Origin.h"
#include "PacingModel.h"
#include "ProcessProbe.h"
#include "RelayCost.h"
#include "proxy/Limits.h"
#include "support/OriginServer.h"
#include "support/ProcessMemory.h"
#include "support/RawClient.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Figure 1: one download per limit, relay and origin, all at once.
enum class RateRelay { Proxy, Tunnel, Nginx };
constexpr RateRelay kRateRelays[] = {RateRelay::Proxy, RateRelay::Tunnel, RateRelay::Nginx};
constexpr std::int32_t kRateLimits[] = {1, 4, 32, 64, 1024};
// The limit whose bursts are printed: a second's worth each, as the client saw them.
constexpr std::int32_t kBurstLimit = 4;

struct RateRun {
  std::int32_t Limit = 0;
  bool HeaderApart = false;
  RateRelay Relay = RateRelay::Proxy;
  DownloadResult Result;

  // Bytes received (header included) per second of the download, over limit x 1000 B/s.
  double Ratio() const {
    const double seconds = Result.Ended - Result.Started;
    return seconds > 0 ? static_cast<double>(Result.Bytes) / seconds / (Limit * 1000.0) : 0;
  }
};

struct RateFigures {
  double Seconds = 0;  // each answer is this many seconds' worth at its limit
  std::vector<RateRun> Runs;
  std::string NginxMissing;  // why nginx is not in the figure, when it is not
};

// One run of interleaved rounds: medians over its rounds.
struct TtfbRun {
  int Samples = 0;
  int Failures = 0;
  double DirectMs = 0;
  double ProxyMs = 0;
  double NginxMs = 0;
  // Medians of the paired differences against the direct download of the same round.
  double ProxyOverheadMs = 0;
  double NginxOverheadMs = 0;
};

struct TtfbFigures {
  int Rounds = 0;  // per run, after one warm-up
  std::vector<TtfbRun> Runs;
  TtfbRun Median;            // each figure's median over the runs
  std::string NginxMissing;  // why nginx is not in the figure, when it is not
};

struct LoadFigures {
  int Downloads = 0;
  int Correct = 0;
  std::map<std::string, int> Errors;  // failed downloads by what went wrong
  double Seconds = 0;
  double MedianDownloadSeconds = 0;
  double ModelSeconds = 0;
  std::int64_t BaseThreads = 0;
  std::int64_t PeakThreads = 0;
  std::int64_t PeakRuns = 0;
  std::int64_t BaseRssKb = 0;
  std::int64_t PeakRssKb = 0;
  double CpuTotal = 0;
  double CpuClients = 0;
  double CpuOrigin = 0;
  std::int64_t Samples = 0;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Progress(const char* text) {
  std::fprintf(stderr, "[bench] %s\n", text);
}

std::int64_t RateBody(std::int32_t limit, double seconds) {
  // Less about a header's worth, so that header and body come to the seconds asked for.
  return static_cast<std::int64_t>(limit * 1000.0 * seconds) - 100;
}

RateFigures MeasureRates(double seconds) {
  RateFigures figures;
  figures.Seconds = seconds;
  Origin origins[] = {Origin({.HeaderApart = false}), Origin({.HeaderApart = true})};
  std::map<std::int32_t, std::unique_ptr<test::LoopbackProxy>> proxies;
  std::map<std::pair<std::int32_t, bool>, std::unique_ptr<Nginx>> nginxes;
  const std::string program = Nginx::Program();
  if (program.empty())
    figures.NginxMissing = "not installed, skipped (apt-get install nginx-light)";
  std::vector<DownloadSpec> specs;
  std::int64_t id = 0;
  for (std::int32_t limit : kRateLimits) {
    proxies[limit] = std::make_unique<test::LoopbackProxy>(PacedProxy(limit));
    const std::int64_t body = RateBody(limit, seconds);
    for (bool apart : {false, true}) {
      const std::int32_t origin = origins[apart].Port();
      for (RateRelay relay : kRateRelays) {
        DownloadSpec spec;
        spec.BodyBytes = body;
        spec.Id = ++id;
        spec.RecordBursts = limit == kBurstLimit;
        if (relay == RateRelay::Proxy) {
          spec.Port = proxies[limit]->Port();
          spec.Request = ProxyRequest(origin, body, id);
          spec.ExpectedHeader = AnswerHeader(body, "1.0");
        } else if (relay == RateRelay::Tunnel) {
          spec.Port = proxies[limit]->Port();
          spec.Request = TunnelRequest(origin, body, id);
          spec.ExpectedHeader = std::string(kTunnelEstablished) + AnswerHeader(body, "1.1");
        } else {
          if (!figures.NginxMissing.empty()) continue;
          try {
            auto& nginx = nginxes[{limit, apart}];
            nginx = std::make_unique<Nginx>(
                program, origin,
                "limit_rate " + std::to_string(limit * 1000) + "; proxy_max_temp_file_size 0;");
            spec.Port = nginx->Port();
          } catch (const std::exception& e) {
            figures.NginxMissing = e.what();
            continue;
          }
          // HTTP/1.0, so nginx closes after the answer as the proxy does; its header is its own.
          spec.Request = DirectRequest(body, id);
          spec.AnyHeader = true;
        }
        specs.push_back(spec);
        figures.Runs.push_back({limit, apart, relay, {}});
      }
    }
  }
  if (!figures.NginxMissing.empty()) {
    // A partial nginx column would be worse than none.
    std::erase_if(figures.Runs, [](const RateRun& run) { return run.Relay == RateRelay::Nginx; });
    std::erase_if(specs, [](const DownloadSpec& spec) { return spec.AnyHeader; });
  }
  DownloadOptions options;
  options.Threads = 2;
  options.TimeLimit = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1500) + 60000);
  DownloadBatch batch = RunDownloads(specs, options);
  for (std::size_t i = 0; i < figures.Runs.size(); ++i)
    figures.Runs[i].Result = batch.Results[i];
  return figures;
}

TtfbRun MeasureTtfbRun(const Origin& origin, const test::LoopbackProxy& proxy, const Nginx* nginx,
                       int samples) {
  constexpr std::int64_t kBody = 1000;
  TtfbRun run;
  enum Path { kDirect, kProxy, kNginx, kPaths };
  std::vector<double> times[kPaths], proxyOverhead, nginxOverhead;
  // Sample -1 warms every path up and is not counted.
  for (int i = -1; i < samples; ++i) {
    DownloadSpec specs[kPaths] = {
        {origin.Port(), DirectRequest(kBody, i + 1), AnswerHeader(kBody, "1.1"), kBody, i + 1,
         true},
        {proxy.Port(), ProxyRequest(origin.Port(), kBody, i + 1), AnswerHeader(kBody, "1.0"), kBody,
         i + 1, true},
        {nginx ? nginx->Port() : 0, DirectRequest(kBody, i + 1), "", kBody, i + 1, true, true}};
    double took[kPaths] = {};
    bool ok = true;
    // Rotate which path goes first, so none always finds another's traffic just ended.
    for (int k = 0; k < kPaths; ++k) {
      const int path = (i + 3 + k) % kPaths;
      if (path == kNginx && !nginx) continue;
      DownloadBatch batch = RunDownloads({specs[path]}, {});
      const DownloadResult& result = batch.Results.front();
      ok = ok && result.Correct;
      took[path] = (result.FirstByte - result.Started) * 1000;
    }
    if (i < 0) continue;
    if (!ok) {
      ++run.Failures;
      continue;
    }
    for (int path = 0; path < kPaths; ++path)
      times[path].push_back(took[path]);
    proxyOverhead.push_back(took[kProxy] - took[kDirect]);
    nginxOverhead.push_back(took[kNginx] - took[kDirect]);
  }
  run.Samples = static_cast<int>(times[kDirect].size());
  run.DirectMs = Median(times[kDirect]);
  run.ProxyMs = Median(times[kProxy]);
  run.NginxMs = Median(times[kNginx]);
  run.ProxyOverheadMs = Median(proxyOverhead);
  run.NginxOverheadMs = Median(nginxOverhead);
  return run;
}

// The machine may be shared: one run's median moves with whatever else ran meanwhile, so the
// figure is the median of several runs spread over some seconds.
TtfbFigures MeasureTtfb(int runs, int samples) {
  TtfbFigures figures;
  figures.Rounds = samples;
  Origin origin;
  test::LoopbackProxy proxy(PacedProxy(4));
  // nginx in front of the same origin, as in figure 1.
  std::unique_ptr<Nginx> nginx;
  if (const std::string program = Nginx::Program(); program.empty()) {
    figures.NginxMissing = "not installed, skipped (apt-get install nginx-light)";
  } else {
    try {
      nginx = std::make_unique<Nginx>(program, origin.Port(), "proxy_max_temp_file_size 0;");
    } catch (const std::exception& e) {
      figures.NginxMissing = e.what();
    }
  }
  for (int r = 0; r < runs; ++r) {
    if (r > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    figures.Runs.push_back(MeasureTtfbRun(origin, proxy, nginx.get(), samples));
  }
  auto median = [&figures](double TtfbRun::*field) {
    std::vector<double> values;
    for (const TtfbRun& run : figures.Runs)
      values.push_back(run.*field);
    return Median(values);
  };
  TtfbRun& m = figures.Median;
  for (const TtfbRun& run : figures.Runs) {
    m.Samples += run.Samples;
    m.Failures += run.Failures;
  }
  m.DirectMs = median(&TtfbRun::DirectMs);
  m.ProxyMs = median(&TtfbRun::ProxyMs);
  m.NginxMs = median(&TtfbRun::NginxMs);
  m.ProxyOverheadMs = median(&TtfbRun::ProxyOverheadMs);
  m.NginxOverheadMs = median(&TtfbRun::NginxOverheadMs);
  return figures;
}

LoadFigures MeasureLoad(int count, std::int32_t limit, std::int64_t bodyBytes, bool burst) {
  LoadFigures figures;
  figures.Downloads = count;
  Origin origin;
  test::LoopbackProxy proxy(PacedProxy(limit));
  std::string header = AnswerHeader(bodyBytes, "1.0");
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < count; ++i)
    specs.push_back(
        {proxy.Port(), ProxyRequest(origin.Port(), bodyBytes, i), header, bodyBytes, i});
  figures.ModelSeconds = PacedSeconds(static_cast<std::int64_t>(header.size()) + bodyBytes, limit);

  ProcessStatus base = ReadStatus();
  bool peakReset = test::ResetPeakResident();
  figures.BaseThreads = base.Threads;
  figures.BaseRssKb = base.VmRssKb;
  double cpuBefore = ProcessCpuSeconds();
  PeakSampler sampler(std::chrono::milliseconds(10),
                      [&proxy] { return proxy.Counters().ConnectionCount.load(); });

  DownloadOptions options;
  options.Threads = 4;
  // The program listens with a backlog of 15: a burst of a thousand connects would overflow it,
  // and the kernel answers that with dropped handshakes and resets. Real clients ramp up; so do
  // these, by keeping at most 12 connects waiting for their first byte. A download lasts seconds
  // and the ramp well under one, so all of them still overlap.
  options.MaxAwaitingFirstByte = burst ? 0 : 3;
  options.TimeLimit = std::chrono::milliseconds(120000);
  DownloadBatch batch = RunDownloads(specs, options);
  // The runs end right after their last close; give them a moment to be gone before counting CPU.
  for (int i = 0; i < 500 && proxy.Counters().ConnectionCount.load() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  double cpuAfter = ProcessCpuSeconds();
  Peaks peaks = sampler.Stop();
  ProcessStatus after = ReadStatus();
  figures.CpuOrigin = origin.Stop();
  figures.CpuClients = batch.ClientCpuSeconds;
  figures.CpuTotal = cpuAfter - cpuBefore;
  figures.Seconds = batch.Seconds;
  figures.PeakThreads = peaks.Threads;
  figures.PeakRuns = peaks.Extra;
  figures.Samples = peaks.Samples;
  figures.PeakRssKb = std::max(peaks.VmRssKb, peakReset ? after.VmHwmKb : 0);
  std::vector<double> durations;
  for (const DownloadResult& result : batch.Results) {
    if (result.Correct) {
      ++figures.Correct;
      durations.push_back(result.Ended - result.Started);
    } else {
      ++figures.Errors[result.Error];
    }
  }
  figures.MedianDownloadSeconds = Median(durations);
  return figures;
}

const char* RelayName(RateRelay relay) {
  return relay == RateRelay::Proxy ? "proxy" : relay == RateRelay::Tunnel ? "tunnel" : "nginx";
}

void PrintRates(const RateFigures& figures) {
  std::printf(
      "\n1. Achieved rate / limit: one answer of %.1f seconds' worth per limit, relay and origin,"
      " all at once\n",
      figures.Seconds);
  std::printf(
      "   rate = bytes received (header included) / wall time from connect to close; goal 0.98 to"
      " 1.01.\n   proxy: a plain request; tunnel: the same request through CONNECT; nginx:"
      " limit_rate on the same answers.\n");
  std::printf("                    origin writes in one piece    header apart from body\n");
  std::printf("  limit   body B     proxy  tunnel   nginx       proxy  tunnel   nginx\n");
  std::vector<std::string> failures;
  for (std::int32_t limit : kRateLimits) {
    std::printf("  %5d  %9lld ", limit, static_cast<long long>(RateBody(limit, figures.Seconds)));
    for (bool apart : {false, true}) {
      std::printf("  ");
      for (RateRelay relay : kRateRelays) {
        auto run = std::find_if(figures.Runs.begin(), figures.Runs.end(), [&](const RateRun& r) {
          return r.Limit == limit && r.HeaderApart == apart && r.Relay == relay;
        });
        if (run == figures.Runs.end()) {
          std::printf("%8s", "-");
        } else if (!run->Result.Correct) {
          std::printf("%8s", "failed");
          failures.push_back(std::string(RelayName(relay)) + " at limit " + std::to_string(limit) +
                             (apart ? ", header apart: " : ": ") + run->Result.Error);
        } else {
          std::printf("%8.3f", run->Ratio());
        }
      }
      std::printf("   ");
    }
    std::printf("\n");
  }
  for (const std::string& failure : failures)
    std::printf("    failed: %s\n", failure.c_str());
  if (!figures.NginxMissing.empty()) std::printf("  nginx: %s\n", figures.NginxMissing.c_str());
  std::printf("   bursts the client saw at limit %d (a pause apart), header apart from body:\n",
              kBurstLimit);
  for (const RateRun& run : figures.Runs) {
    if (run.Limit == kBurstLimit && run.HeaderApart && run.Result.Correct)
      std::printf("   %-6s %s\n", RelayName(run.Relay), DescribeSizes(run.Result.Bursts).c_str());
  }
}

void PrintTtfb(const TtfbFigures& ttfb) {
  const TtfbRun& m = ttfb.Median;
  const bool withNginx = ttfb.NginxMissing.empty();
  auto ratio = [](const TtfbRun& run) {
    return run.NginxOverheadMs > 0 ? run.ProxyOverheadMs / run.NginxOverheadMs : 0.0;
  };
  std::printf("\n3. Time to first byte, median of %zu runs of %d rounds (%d failed)\n",
              ttfb.Runs.size(), ttfb.Rounds, m.Failures);
  std::printf("   direct to origin %.3f ms, through proxy %.3f ms, proxy overhead %.3f ms\n",
              m.DirectMs, m.ProxyMs, m.ProxyOverheadMs);
  if (withNginx) {
    std::printf("   through nginx %.3f ms, nginx overhead %.3f ms; proxy / nginx overhead %.2f\n",
                m.NginxMs, m.NginxOverheadMs, ratio(m));
  } else {
    std::printf("   nginx: %s\n", ttfb.NginxMissing.c_str());
  }
  std::printf("   overhead ms by run, proxy%s:", withNginx ? " / nginx (ratio)" : "");
  for (const TtfbRun& run : ttfb.Runs) {
    if (withNginx)
      std::printf("  %.3f/%.3f (%.2f)", run.ProxyOverheadMs, run.NginxOverheadMs, ratio(run));
    else
      std::printf("  %.3f", run.ProxyOverheadMs);
  }
  std::printf("\n");
}

void PrintLoad(const LoadFigures& load) {
  std::printf("\n4. %d concurrent downloads at limit 4 through one proxy\n", load.Downloads);
  std::printf("   correct downloads        %d/%d = %.3f\n", load.Correct, load.Downloads,
              static_cast<double>(load.Correct) / load.Downloads);
  for (const auto& [error, count] : load.Errors)
    std::printf("     failed: %d x %s\n", count, error.c_str());
  std::printf("   batch wall time          %.2f s; median download %.2f s = %.3f x model %.2f s\n",
              load.Seconds, load.MedianDownloadSeconds,
              load.ModelSeconds > 0 ? load.MedianDownloadSeconds / load.ModelSeconds : 0.0,
              load.ModelSeconds);
  std::printf("   peak concurrent runs     %lld\n", static_cast<long long>(load.PeakRuns));
  std::printf(
      "   peak threads             %lld (baseline %lld, +%.3f per download; %lld samples)\n",
      static_cast<long long>(load.PeakThreads), static_cast<long long>(load.BaseThreads),
      static_cast<double>(load.PeakThreads - load.BaseThreads) / load.Downloads,
      static_cast<long long>(load.Samples));
  std::printf("   peak resident memory     %lld kB (baseline %lld kB, +%.1f kB per download)\n",
              static_cast<long long>(load.PeakRssKb), static_cast<long long>(load.BaseRssKb),
              static_cast<double>(load.PeakRssKb - load.BaseRssKb) / load.Downloads);
  std::printf(
      "   CPU seconds              %.2f in all; clients %.2f, origin %.2f, the rest "
      "(proxy) %.2f = %.2f ms per download\n",
      load.CpuTotal, load.CpuClients, load.CpuOrigin,
      load.CpuTotal - load.CpuClients - load.CpuOrigin,
      (load.CpuTotal - load.CpuClients - load.CpuOrigin) * 1000 / load.Downloads);
}

// Limits whose runs should cost the same memory: a run holds what it has read, not a slice.
constexpr std::int32_t kMemoryLimits[] = {4, 1000, 65535};
constexpr int kMemoryDownloads = 100;
constexpr std::int64_t kSmallBody = 1000;
constexpr std::int32_t kCpuLimit = 65535;
constexpr std::int64_t kLargeBody = 200'000'000;
constexpr int kCpuRounds = 5;

// nginx relaying with no rate limit, two ways: buffering as it does by default (but never to
// disk), and streaming through one buffer as large as the proxy's relay buffer grows.
struct NginxSetup {
  std::string name;
  std::string directives;
};

std::vector<NginxSetup> NginxSetups() {
  const std::string buffer = std::to_string(proxy::kAnswerBufferBytes / proxy::kKiB) + "k";
  return {{"buffered", "limit_rate 0; proxy_max_temp_file_size 0;"},
          {"unbuffered " + buffer, "limit_rate 0; proxy_buffering off; proxy_buffer_size " +
                                       buffer + "; proxy_buffers 4 " + buffer + ";"}};
}

void PrintMemory(const std::vector<MemoryPerRun>& runs) {
  std::printf(
      "\n5. Resident memory per run, %d concurrent %lld-byte answers (each limit in a fresh"
      " process)\n",
      kMemoryDownloads, static_cast<long long>(kSmallBody));
  std::printf("   goal: the same at every limit, at most 64 KiB above the idle process per run\n");
  std::printf("  per run: (peak - idle) / peak concurrent runs\n");
  std::printf("  limit  correct  peak runs  idle kB  peak kB  per run kB\n");
  for (const MemoryPerRun& run : runs) {
    std::printf("  %5d  %3d/%-3d  %9lld  %7lld  %7lld  %10.1f%s%s\n", run.Limit, run.Correct,
                run.Downloads, static_cast<long long>(run.PeakRuns),
                static_cast<long long>(run.IdleKb), static_cast<long long>(run.PeakKb),
                run.KbPerRun(), run.Error.empty() ? "" : "  failed: ", run.Error.c_str());
  }
}

// One relay's rounds of figure 6.
struct CpuRounds {
  std::string Relay;
  std::vector<RelayCpu> Rounds;

  // The median ms per MB of the rounds that went right, or 0 when none did.
  double MedianMsPerMb() const {
    std::vector<double> values;
    for (const RelayCpu& round : Rounds)
      if (round.Error.empty()) values.push_back(round.MsPerMb());
    return Median(values);
  }
};

void PrintCpu(const std::vector<CpuRounds>& relays, const std::string& nginxMissing) {
  std::printf(
      "\n6. CPU per MB relayed, one %lld-byte answer, median of %d rounds (relays take"
      " turns)\n",
      static_cast<long long>(kLargeBody), kCpuRounds);
  std::printf(
      "  relay                       ms/MB (median)  ms/MB of each round             wall s\n");
  for (const CpuRounds& relay : relays) {
    std::string each;
    std::string wall;
    std::string errors;
    for (const RelayCpu& round : relay.Rounds) {
      char text[32];
      std::snprintf(text, sizeof text, "%s%.3f", each.empty() ? "" : " ", round.MsPerMb());
      each += round.Error.empty() ? text : " failed";
      std::snprintf(text, sizeof text, "%s%.1f", wall.empty() ? "" : " ", round.Seconds);
      wall += text;
      if (!round.Error.empty()) errors += "\n    failed: " + round.Error;
    }
    std::printf("  %-26s %14.3f  %-30s  %s%s\n", relay.Relay.c_str(), relay.MedianMsPerMb(),
                each.c_str(), wall.c_str(), errors.c_str());
  }
  if (!nginxMissing.empty()) {
    std::printf("  nginx: %s\n", nginxMissing.c_str());
    return;
  }
  const double proxy = relays.front().MedianMsPerMb();
  for (std::size_t i = 1; i < relays.size(); ++i) {
    const double nginx = relays[i].MedianMsPerMb();
    if (proxy > 0 && nginx > 0)
      std::printf("  proxy / %s: %.2f (goal: at most 1)\n", relays[i].Relay.c_str(), proxy / nginx);
  }
}

struct RelayCostFigures {
  std::vector<MemoryPerRun> Memory;
  std::vector<CpuRounds> Cpu;  // the proxy first, then each nginx set-up
  std::string NginxMissing;
};

// Figures 5 and 6. Run while nothing else relays in this process: the proxy's CPU time is the
// process's less the client and origin threads'.
RelayCostFigures MeasureRelayCost() {
  RelayCostFigures figures;
  Progress("memory per run (fresh processes)");
  for (std::int32_t limit : kMemoryLimits)
    figures.Memory.push_back(MeasureMemoryPerRunApart("/proc/self/exe", limit));

  const std::string program = Nginx::Program();
  if (program.empty())
    figures.NginxMissing = "not installed, comparison skipped (apt-get install nginx-light)";
  figures.Cpu.push_back({"proxy at limit " + std::to_string(kCpuLimit), {}});
  const std::vector<NginxSetup> setups = NginxSetups();
  for (const NginxSetup& setup : setups)
    if (!program.empty()) figures.Cpu.push_back({"nginx " + setup.name, {}});
  // Rounds in turn, so that every relay meets the same changes in the machine's load.
  for (int round = 0; round < kCpuRounds; ++round) {
    Progress(("CPU per MB, round " + std::to_string(round + 1)).c_str());
    figures.Cpu[0].Rounds.push_back(MeasureProxyCpu(kCpuLimit, kLargeBody));
    for (std::size_t i = 1; i < figures.Cpu.size(); ++i)
      figures.Cpu[i].Rounds.push_back(
          MeasureNginxCpu(program, setups[i - 1].directives, kLargeBody));
  }
  return figures;
}

// Figure 7: chunked uploads held whole, many at once, against the budget they share.
struct HeldBodyFigures {
  int clients = 0;
  int passed = 0;   // held whole and relayed: the origin's answer came back
  int refused = 0;  // 503: the budget was spent
  std::int64_t idleKb = 0;
  std::int64_t peakKb = 0;
};

HeldBodyFigures MeasureHeldBodies(int clients, int chunks) {
  // The origin keeps none of the bodies, so that the figure is the proxy's.
  test::OriginScript script{{{"HTTP/1.0 204 No Content\r\n\r\n"}}};
  script.keepBytes = 256;
  script.sink = [](std::string_view) {};
  test::OriginServer origin(script);
  test::LoopbackProxy proxy(PacedProxy(4));
  const std::string head = "POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                           "/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunk = "100000\r\n" + std::string(1 << 20, 'a') + "\r\n";
  HeldBodyFigures figures;
  figures.clients = clients;
  test::ResetPeakResident();
  figures.idleKb = test::ResidentKb();
  std::vector<std::string> answers(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      test::RawClient client = test::RawClient::ConnectTo(proxy.Port());
      bool sent = client.Send(head);
      for (int c = 0; c < chunks && sent; ++c)
        sent = client.Send(chunk);
      if (sent) client.Send("0\r\n\r\n");
      client.ReadUntilClosed(answers[static_cast<std::size_t>(i)], 30000);
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  figures.peakKb = test::PeakResidentKb();
  for (const std::string& answer : answers) {
    figures.passed += answer.starts_with("HTTP/1.0 204") ? 1 : 0;
    figures.refused += answer.starts_with("HTTP/1.0 503") ? 1 : 0;
  }
  return figures;
}

void PrintHeldBodies(const HeldBodyFigures& figures, int chunks) {
  std::printf("7. Held chunked uploads: %d clients at once, %d MiB chunked bodies each\n",
              figures.clients, chunks);
  std::printf(
      "   goal: the proxy holds no more than its 64 MiB budget of bodies; the rest get 503\n");
  std::printf("   relayed %d, refused %d, other %d; idle %lld kB, peak %lld kB (+%lld MB)\n",
              figures.passed, figures.refused, figures.clients - figures.passed - figures.refused,
              static_cast<long long>(figures.idleKb), static_cast<long long>(figures.peakKb),
              static_cast<long long>((figures.peakKb - figures.idleKb) / 1024));
}

void PrintRelayCost(const RelayCostFigures& figures) {
  PrintMemory(figures.Memory);
  PrintCpu(figures.Cpu, figures.NginxMissing);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  bool quick = false;
  bool loadOnly = false;
  bool relayOnly = false;
  bool ratesOnly = false;
  bool burst = false;
  bool ttfbOnly = false;
  bool heldOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory-run") == 0 && i + 1 < argc) {
      // One figure 5 measurement, in this fresh process, for the parent run to read.
      std::printf("%s\n",
                  ToLine(MeasureMemoryPerRun(std::atoi(argv[i + 1]), kMemoryDownloads, kSmallBody))
                      .c_str());
      return 0;
    }
    if (std::strcmp(argv[i], "--relay-only") == 0) {
      relayOnly = true;
    } else if (std::strcmp(argv[i], "--rates-only") == 0) {
      ratesOnly = true;
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--load-only") == 0) {
      loadOnly = true;
    } else if (std::strcmp(argv[i], "--burst") == 0) {
      burst = true;
    } else if (std::strcmp(argv[i], "--ttfb-only") == 0) {
      ttfbOnly = true;
    } else if (std::strcmp(argv[i], "--held-bodies-only") == 0) {
      heldOnly = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--rates-only] [--load-only] [--relay-only] "
                   "[--ttfb-only] [--held-bodies-only] [--burst]\n",
                   argv[0]);
      return 2;
    }
  }
  constexpr int kLoadDownloads = 1000;
  constexpr int kTtfbRuns = 7;
  constexpr int kTtfbSamples = 41;
  // The proxy holds two sockets per download, each with a wake-up descriptor; clients and the
  // origin server hold one each.
  std::int64_t files = test::RaiseOpenFileLimit(8 * kLoadDownloads + 1024);
  if (files < 6 * kLoadDownloads + 256) {
    std::fprintf(stderr, "open-file limit %lld is too low for %d downloads\n",
                 static_cast<long long>(files), kLoadDownloads);
    return 1;
  }

  constexpr int kHeldClients = 40;
  constexpr int kHeldChunks = 16;
  try {
    if (heldOnly) {
      PrintHeldBodies(MeasureHeldBodies(kHeldClients, kHeldChunks), kHeldChunks);
      return 0;
    }
    if (ttfbOnly) {
      PrintTtfb(MeasureTtfb(kTtfbRuns, kTtfbSamples));
      return 0;
    }
    if (relayOnly) {
      PrintRelayCost(MeasureRelayCost());
      return 0;
    }
    if (loadOnly) {
      Progress("1000 concurrent downloads");
      PrintLoad(MeasureLoad(kLoadDownloads, 4, 12 * 1024, burst));
      return 0;
    }
    // The rates take the longest and mostly sleep; nothing else runs beside them, so that no
    // load of ours moves their timing.
    const double rateSeconds = quick ? 20.5 : 90.5;
    Progress(quick ? "rates against the limit (about 25 s)"
                   : "rates against the limit (about 95 s)");
    RateFigures rates = MeasureRates(rateSeconds);
    if (ratesOnly) {
      PrintRates(rates);
      return 0;
    }
    RelayCostFigures relayCost = MeasureRelayCost();
    Progress("time to first byte");
    TtfbFigures ttfb = MeasureTtfb(kTtfbRuns, kTtfbSamples);
    Progress("1000 concurrent downloads");
    LoadFigures load = MeasureLoad(kLoadDownloads, 4, 12 * 1024, burst);
    Progress("held chunked uploads");
    const HeldBodyFigures held = MeasureHeldBodies(kHeldClients, kHeldChunks);
    PrintRates(rates);
    PrintTtfb(ttfb);
    PrintLoad(load);
    PrintRelayCost(relayCost);
    PrintHeldBodies(held, kHeldChunks);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
