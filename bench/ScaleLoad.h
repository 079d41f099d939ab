#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "Downloads.h"

// The pieces of the scale benchmark: many thousand downloads from one epoll-driven client, an
// epoll-driven origin server, other processes of the benchmark run and watched from outside,
// and the statistics over what they give. Loopback (127.0.0.1) only.
namespace bench {

// Runs every download of specs to its end, its error or the time limit, on the calling thread.
// At most maxAwaitingFirstByte downloads are started but still without their first byte at any
// time (0: every connect goes out at once, a burst).
DownloadBatch RunManyDownloads(const std::vector<DownloadSpec>& specs, int maxAwaitingFirstByte,
                               std::chrono::milliseconds timeLimit);

// The benchmark's origin server for many connections at once: one epoll loop on 127.0.0.1 that
// answers "GET /<body>/<id>" with the answer of Answer.h ("HTTP/1.1"), half-closes, and closes
// once its client has closed too.
class ManyOrigin {
 public:
  // Listens on a system-chosen port; throws std::runtime_error when it cannot.
  ManyOrigin();
  ~ManyOrigin();
  ManyOrigin(const ManyOrigin&) = delete;
  ManyOrigin& operator=(const ManyOrigin&) = delete;

  std::int32_t Port() const { return port_; }
  // Serves until stopFd (a pipe or similar) turns readable, then closes every connection.
  void Run(int stopFd);

 private:
  struct Connection;
  bool OnReadable(Connection& connection);
  bool OnWritable(Connection& connection);

  int listenFd_ = -1;
  int epollFd_ = -1;
  std::int32_t port_ = 0;
};

// This program run again in another mode, spoken to over its standard input and output; its
// standard error is ours. It is ended (input closed, then SIGKILL after a grace period) when the
// object goes.
class BenchChild {
 public:
  // Runs /proc/self/exe with args; throws std::runtime_error when it cannot.
  explicit BenchChild(const std::vector<std::string>& args);
  ~BenchChild();
  BenchChild(const BenchChild&) = delete;
  BenchChild& operator=(const BenchChild&) = delete;

  pid_t Pid() const { return pid_; }
  // The child's next line without its line end; none when it closed its output or timeoutMs
  // passed first.
  std::optional<std::string> ReadLine(int timeoutMs);
  bool WriteLine(const std::string& line);
  // Closes the child's input and waits up to graceMs for it to end, then kills it.
  void Finish(int graceMs = 10000);

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffered_;
};

// Makes this process end when the process that started it ends (a child of BenchChild), under
// a name of its own for ps and perf; threads started later take the name too.
void EndWithParent(const char* name);

// The body of a BenchChild that serves as the many-connection origin: prints "port N", then
// serves until its input closes. name as for EndWithParent.
int RunManyOriginProcess(const char* name);

// "1000,3000" as its positive counts, in order.
std::vector<int> ParseCounts(const std::string& text);

// What the benchmark reads about another process of its own.
struct ProcessSample {
  std::int64_t Threads = 0;
  std::int64_t VmRssKb = 0;
  std::int64_t VmHwmKb = 0;
  std::int64_t Descriptors = 0;
};
ProcessSample SampleProcess(pid_t pid, bool withDescriptors);
// User plus system CPU seconds of the process so far, from /proc/<pid>/stat.
double CpuSecondsOf(pid_t pid);
// The same from the text of a stat file; 0 when it cannot be read.
double CpuSecondsFromStat(std::string_view statText, long ticksPerSecond);
// Starts VmHWM of the process over from its current resident size.
bool ResetPeakRssOf(pid_t pid);

// The value at fraction p (0 to 1) of the sorted values, by the nearest rank; 0 for none.
double Percentile(std::vector<double> values, double p);
// The most intervals [start, end) that overlap at one time; intervals with end < start are
// left out.
std::int64_t PeakOverlap(const std::vector<std::pair<double, double>>& intervals);

// The first line of a file, for /proc/sys settings; empty when it cannot be read.
std::string FirstLineOf(const std::string& path);

}  // namespace bench
