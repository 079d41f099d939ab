#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What relaying costs the proxy: resident memory per run while many small answers are relayed at
// once, and CPU time per megabyte of one large answer, held against nginx relaying the same answer.
namespace bench {

struct MemoryPerRun {
  std::int32_t Limit = 0;
  int Downloads = 0;
  int Correct = 0;
  std::int64_t PeakRuns = 0;  // the highest ConnectionCount seen
  std::int64_t IdleKb = 0;    // the process with the proxy listening, before any run
  std::int64_t PeakKb = 0;
  std::string Error;  // empty when the measurement could be made

  // Shared out among the runs alive at the peak, so that runs that had already ended (or not yet
  // begun) make it no smaller.
  double KbPerRun() const {
    return PeakRuns > 0 ? static_cast<double>(PeakKb - IdleKb) / static_cast<double>(PeakRuns) : 0;
  }
};

// Relays `downloads` answers of bodyBytes at once through a proxy at this limit, in this process,
// which must not have relayed anything before (freed memory would be reused and hide the cost).
MemoryPerRun MeasureMemoryPerRun(std::int32_t limit, int downloads, std::int64_t bodyBytes);
// The same in a fresh process: runs `program` with "--memory-run <limit>" and reads its line.
MemoryPerRun MeasureMemoryPerRunApart(const std::string& program, std::int32_t limit);
// The one line a "--memory-run" prints, and back.
std::string ToLine(const MemoryPerRun& figures);
MemoryPerRun FromLine(std::string_view line);

struct RelayCpu {
  std::int64_t Bytes = 0;  // answer bytes the client received and checked
  double Seconds = 0;      // wall time of the download
  double CpuSeconds = 0;   // of the relay alone
  std::string Error;       // empty when every byte came as expected

  double MsPerMb() const { return Bytes > 0 ? CpuSeconds * 1000 / (Bytes / 1e6) : 0; }
};

// One answer of bodyBytes through the proxy at this limit, with its real pauses. The proxy's CPU
// time is the process's less what the client and origin threads used themselves.
RelayCpu MeasureProxyCpu(std::int32_t limit, std::int64_t bodyBytes);
// The same answer through nginx (Nginx.h) with these location directives; its start-up, measured
// apart, is taken off.
RelayCpu MeasureNginxCpu(const std::string& program, const std::string& directives,
                         std::int64_t bodyBytes);

}  // namespace bench
