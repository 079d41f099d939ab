#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

// What the benchmark reads about its own process: threads, resident memory and CPU time.
namespace bench {

struct ProcessStatus {
  std::int64_t Threads = 0;
  std::int64_t VmRssKb = 0;
  std::int64_t VmHwmKb = 0;  // peak resident memory since start or since test::ResetPeakResident
};

// The fields above from the text of /proc/<pid>/status; a field that is missing stays 0.
ProcessStatus ParseStatus(std::string_view text);
ProcessStatus ReadStatus();

// User plus system CPU seconds of the whole process, or of the calling thread.
double ProcessCpuSeconds();
double ThreadCpuSeconds();

// Highest values seen by a PeakSampler.
struct Peaks {
  std::int64_t Threads = 0;
  std::int64_t VmRssKb = 0;
  std::int64_t Extra = 0;  // of the caller's own gauge
  std::int64_t Samples = 0;
};

// Samples ReadStatus and a gauge of the caller's every period on a thread of its own, from
// construction until Stop.
class PeakSampler {
 public:
  PeakSampler(std::chrono::milliseconds period, std::function<std::int64_t()> gauge);
  ~PeakSampler();
  PeakSampler(const PeakSampler&) = delete;
  PeakSampler& operator=(const PeakSampler&) = delete;

  // Ends sampling (after one last sample) and gives the peaks; later calls give the same.
  Peaks Stop();

 private:
  void Sample();

  std::chrono::milliseconds period_;
  std::function<std::int64_t()> gauge_;
  std::mutex mutex_;
  std::condition_variable stopRequested_;
  bool stopping_ = false;  // guarded by mutex_
  Peaks peaks_;            // written by the sampling thread, read after the join
  std::thread thread_;
};

}  // namespace bench
