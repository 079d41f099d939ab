// Prints how closely the proxy paces answers to its design, what it adds to the time to first
// byte, and what a thousand throttled downloads at once cost it. Every figure is held against a
// reference measured in the same run: the pacing model, the origin server reached directly, or
// the process before the load. Loopback only; about three and a half minutes (--quick: about 70
// seconds).

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
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
#include "proxy/PacedRelay.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

struct PacedRun {
  std::int32_t Limit = 0;
  std::int64_t BodyBytes = 0;
  std::int64_t Relayed = 0;
  double Seconds = 0;
  std::int64_t SlicesSeen = 0;       // by the proxy's view
  std::vector<std::int64_t> Bursts;  // as the client saw them
  std::string Error;                 // empty when every byte came as expected
};

struct TtfbFigures {
  int Samples = 0;
  int Failures = 0;
  double DirectMs = 0;
  double ProxyMs = 0;
  double PairedDifferenceMs = 0;
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

PacedRun MeasurePaced(std::int32_t limit, std::int64_t bodyBytes, std::int32_t originPort,
                      std::int64_t id) {
  PacedRun run;
  run.Limit = limit;
  run.BodyBytes = bodyBytes;
  try {
    BenchProxy proxy(limit);
    std::string header = AnswerHeader(bodyBytes, "1.0");
    DownloadSpec spec{proxy.Port(), ProxyRequest(originPort, bodyBytes, id), header, bodyBytes, id};
    spec.RecordBursts = true;
    double model =
        ChunkAwareModel(static_cast<std::int64_t>(header.size()) + bodyBytes, limit).Seconds;
    DownloadOptions options;
    options.TimeLimit = std::chrono::milliseconds(static_cast<std::int64_t>(model * 1500) + 30000);
    DownloadBatch batch = RunDownloads({spec}, options);
    const DownloadResult& result = batch.Results.front();
    run.Relayed = result.Bytes;
    run.Seconds = result.Ended - result.Started;
    run.SlicesSeen = proxy.Slices();
    run.Bursts = result.Bursts;
    run.Error = result.Error;
  } catch (const std::exception& e) {
    run.Error = e.what();
  }
  return run;
}

TtfbFigures MeasureTtfb(int samples) {
  constexpr std::int64_t kBody = 1000;
  TtfbFigures figures;
  Origin origin;
  BenchProxy proxy(4);
  std::vector<double> direct, proxied, differences;
  // Sample -1 warms both paths up and is not counted.
  for (int i = -1; i < samples; ++i) {
    DownloadSpec straight{
        origin.Port(), DirectRequest(kBody, i + 1), AnswerHeader(kBody, "1.1"), kBody, i + 1, true};
    DownloadSpec through{proxy.Port(),
                         ProxyRequest(origin.Port(), kBody, i + 1),
                         AnswerHeader(kBody, "1.0"),
                         kBody,
                         i + 1,
                         true};
    double times[2] = {};
    bool ok = true;
    // Alternate which path goes first, so neither always finds the other's traffic just ended.
    for (int k = 0; k < 2; ++k) {
      bool proxyTurn = (k == 0) == (i % 2 == 0);
      DownloadBatch batch = RunDownloads({proxyTurn ? through : straight}, {});
      const DownloadResult& result = batch.Results.front();
      ok = ok && result.Correct;
      times[proxyTurn ? 1 : 0] = (result.FirstByte - result.Started) * 1000;
    }
    if (i < 0) continue;
    if (!ok) {
      ++figures.Failures;
      continue;
    }
    direct.push_back(times[0]);
    proxied.push_back(times[1]);
    differences.push_back(times[1] - times[0]);
  }
  figures.Samples = static_cast<int>(direct.size());
  figures.DirectMs = Median(direct);
  figures.ProxyMs = Median(proxied);
  figures.PairedDifferenceMs = Median(differences);
  return figures;
}

LoadFigures MeasureLoad(int count, std::int32_t limit, std::int64_t bodyBytes, bool burst) {
  LoadFigures figures;
  figures.Downloads = count;
  Origin origin;
  BenchProxy proxy(limit);
  std::string header = AnswerHeader(bodyBytes, "1.0");
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < count; ++i)
    specs.push_back(
        {proxy.Port(), ProxyRequest(origin.Port(), bodyBytes, i), header, bodyBytes, i});
  figures.ModelSeconds =
      ChunkAwareModel(static_cast<std::int64_t>(header.size()) + bodyBytes, limit).Seconds;

  ProcessStatus base = ReadStatus();
  bool peakReset = ResetPeakRss();
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

void PrintPaced(const std::vector<PacedRun>& runs) {
  std::printf(
      "  limit  answer B  wall s  achieved B/s | simple: model s  ratio | chunk-aware: chunks"
      "  slices  model s  ratio | seen: slices (proxy/client)  ratio\n");
  for (const PacedRun& run : runs) {
    if (!run.Error.empty()) {
      std::printf("  %5d  failed: %s\n", run.Limit, run.Error.c_str());
      continue;
    }
    PacedTransfer model = ChunkAwareModel(run.Relayed, run.Limit);
    double achieved = static_cast<double>(run.Relayed) / run.Seconds;
    double simple = SimpleModelSeconds(run.Relayed, run.Limit);
    double seen = static_cast<double>(run.SlicesSeen) * proxy::ProxyHandler::kPeriodMs / 1000;
    std::printf(
        "  %5d  %8lld  %6.2f  %12.0f |        %8.2f  %5.3f |        %6lld  %6lld  %7.2f  "
        "%5.3f |       %6lld/%-6lld          %5.3f\n",
        run.Limit, static_cast<long long>(run.Relayed), run.Seconds, achieved, simple,
        simple / run.Seconds, static_cast<long long>(model.Chunks),
        static_cast<long long>(model.Slices), model.Seconds, model.Seconds / run.Seconds,
        static_cast<long long>(run.SlicesSeen), static_cast<long long>(run.Bursts.size()),
        seen / run.Seconds);
    std::printf("         chunks seen: %s\n",
                DescribeSizes(ChunksFromSlices(run.Bursts, run.Limit)).c_str());
  }
}

void PrintRelays(const std::vector<PacedRun>& low, const std::vector<PacedRun>& high) {
  std::printf("\n1. Paced relay of one answer (%lld-byte body) at low limits\n",
              static_cast<long long>(low.empty() ? 0 : low.front().BodyBytes));
  std::printf(
      "   ratio = model time / wall time at the client = achieved rate / modelled rate.\n"
      "   simple: limit x 1000 B per second; chunk-aware: one read per pass, every slice of\n"
      "   every chunk followed by the full pause; seen: the slices the run actually made, one\n"
      "   second each. Chunks seen are regrouped from the bursts the client received.\n");
  PrintPaced(low);
  std::printf("\n2. Paced relay at high limits (a pass reads up to one slice)\n");
  std::printf("   simple ratio = achieved rate / (limit x 1000 B/s)\n");
  PrintPaced(high);
}

void PrintTtfb(const TtfbFigures& ttfb) {
  std::printf("\n3. Time to first byte, median of %d (%d failed)\n", ttfb.Samples, ttfb.Failures);
  std::printf(
      "   direct to origin %.3f ms, through proxy %.3f ms, proxy - direct %.3f ms "
      "(median of paired differences %.3f ms)\n",
      ttfb.DirectMs, ttfb.ProxyMs, ttfb.ProxyMs - ttfb.DirectMs, ttfb.PairedDifferenceMs);
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
  const std::string buffer = std::to_string(proxy::PacedRelay::kMaxHeldBytes / 1024) + "k";
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
  bool burst = false;
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
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--load-only") == 0) {
      loadOnly = true;
    } else if (std::strcmp(argv[i], "--burst") == 0) {
      burst = true;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--load-only] [--relay-only] [--burst]\n", argv[0]);
      return 2;
    }
  }
  constexpr int kLoadDownloads = 1000;
  // The proxy holds two sockets per download, each with a wake-up descriptor; clients and the
  // origin server hold one each.
  std::int64_t files = RaiseFileLimit(8 * kLoadDownloads + 1024);
  if (files < 6 * kLoadDownloads + 256) {
    std::fprintf(stderr, "open-file limit %lld is too low for %d downloads\n",
                 static_cast<long long>(files), kLoadDownloads);
    return 1;
  }

  try {
    if (relayOnly) {
      PrintRelayCost(MeasureRelayCost());
      return 0;
    }
    if (loadOnly) {
      Progress("1000 concurrent downloads");
      PrintLoad(MeasureLoad(kLoadDownloads, 4, 12 * 1024, burst));
      return 0;
    }
    RelayCostFigures relayCost = MeasureRelayCost();
    Progress("time to first byte");
    TtfbFigures ttfb = MeasureTtfb(15);

    // The paced runs go side by side, each through a proxy of its own; they mostly sleep. The
    // limit-1 run is the long one and keeps going while the load runs.
    const std::int64_t lowBody = 200 * 1024;
    std::vector<PacedRun> low(3), high(2);
    const std::int32_t lowLimits[] = {1, 4, 32};
    Origin origin;
    Progress(quick ? "paced relays (about 70 s in all)" : "paced relays (about 210 s in all)");
    std::thread slowest([&] {
      low[0] = MeasurePaced(lowLimits[0], quick ? 64 * 1024 : lowBody, origin.Port(), 1);
    });
    // Joined on every way out, also when the load below fails.
    struct Joiner {
      std::thread& thread;
      ~Joiner() {
        if (thread.joinable()) thread.join();
      }
    } joiner{slowest};
    {
      std::vector<std::thread> others;
      for (int i = 1; i < 3; ++i)
        others.emplace_back(
            [&, i] { low[i] = MeasurePaced(lowLimits[i], lowBody, origin.Port(), 1 + i); });
      others.emplace_back([&] { high[0] = MeasurePaced(64, 2 << 20, origin.Port(), 4); });
      others.emplace_back([&] { high[1] = MeasurePaced(1024, 8 << 20, origin.Port(), 5); });
      for (auto& thread : others)
        thread.join();
    }
    Progress("1000 concurrent downloads");
    LoadFigures load = MeasureLoad(kLoadDownloads, 4, 12 * 1024, burst);
    Progress("waiting for the limit-1 relay");
    slowest.join();
    PrintRelays(low, high);
    PrintTtfb(ttfb);
    PrintLoad(load);
    PrintRelayCost(relayCost);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
