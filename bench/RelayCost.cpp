#include "RelayCost.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Answer.h"
#include "BenchProxy.h"
#include "Downloads.h"
#include "Nginx.h"
#include "Origin.h"
#include "ProcessProbe.h"
#include "support/ProcessMemory.h"

extern char** environ;

namespace bench {
namespace {

constexpr int kClientThreads = 2;

DownloadOptions ClientOptions() {
  DownloadOptions options;
  options.Threads = kClientThreads;
  // The proxy listens with a backlog of 15; ramp the connects up as in figure 4.
  options.MaxAwaitingFirstByte = 3;
  options.TimeLimit = std::chrono::milliseconds(600000);
  return options;
}

}  // namespace

MemoryPerRun MeasureMemoryPerRun(std::int32_t limit, int downloads, std::int64_t bodyBytes) {
  MemoryPerRun figures;
  figures.Limit = limit;
  figures.Downloads = downloads;
  try {
    // The close waits, so that every run is still open when the last one starts.
    Origin origin({.CloseDelayMs = 1500});
    test::LoopbackProxy proxy(PacedProxy(limit));
    // Client threads of the same number first, straight to the origin: the threads' stacks are
    // then cached and resident, and the figure counts the proxy's runs, not the clients.
    std::vector<DownloadSpec> warmUp;
    for (int i = 0; i < kClientThreads; ++i)
      warmUp.push_back({origin.Port(), DirectRequest(bodyBytes, i), AnswerHeader(bodyBytes, "1.1"),
                        bodyBytes, i});
    RunDownloads(warmUp, ClientOptions());

    std::vector<DownloadSpec> specs;
    const std::string header = AnswerHeader(bodyBytes, "1.0");
    for (int i = 0; i < downloads; ++i)
      specs.push_back(
          {proxy.Port(), ProxyRequest(origin.Port(), bodyBytes, i), header, bodyBytes, i});
    PeakSampler sampler(std::chrono::milliseconds(5),
                        [&proxy] { return proxy.Counters().ConnectionCount.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ProcessStatus idle = ReadStatus();
    bool peakReset = test::ResetPeakResident();
    figures.IdleKb = idle.VmRssKb;
    DownloadBatch batch = RunDownloads(specs, ClientOptions());
    Peaks peaks = sampler.Stop();
    ProcessStatus after = ReadStatus();
    figures.PeakKb = std::max(peaks.VmRssKb, peakReset ? after.VmHwmKb : 0);
    figures.PeakRuns = peaks.Extra;
    for (const DownloadResult& result : batch.Results) {
      if (result.Correct) {
        ++figures.Correct;
      } else if (figures.Error.empty()) {
        figures.Error = result.Error;
      }
    }
  } catch (const std::exception& e) {
    figures.Error = e.what();
  }
  return figures;
}

std::string ToLine(const MemoryPerRun& f) {
  std::string error = f.Error;
  std::replace(error.begin(), error.end(), '\n', ' ');
  return "memory-run " + std::to_string(f.Limit) + " " + std::to_string(f.Downloads) + " " +
         std::to_string(f.Correct) + " " + std::to_string(f.PeakRuns) + " " +
         std::to_string(f.IdleKb) + " " + std::to_string(f.PeakKb) + " " + error;
}

MemoryPerRun FromLine(std::string_view line) {
  MemoryPerRun f;
  std::istringstream in{std::string(line)};
  std::string tag;
  if (!(in >> tag >> f.Limit >> f.Downloads >> f.Correct >> f.PeakRuns >> f.IdleKb >> f.PeakKb) ||
      tag != "memory-run") {
    f.Error = "unreadable: " + std::string(line);
    return f;
  }
  std::getline(in >> std::ws, f.Error);
  return f;
}

MemoryPerRun MeasureMemoryPerRunApart(const std::string& program, std::int32_t limit) {
  MemoryPerRun failed;
  failed.Limit = limit;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    failed.Error = std::string("pipe: ") + std::strerror(errno);
    return failed;
  }
  std::string limitText = std::to_string(limit);
  std::string flag = "--memory-run";
  std::string self = program;
  char* argv[] = {self.data(), flag.data(), limitText.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string output;
  if (spawned == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
      output.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  ::close(pipeFds[0]);
  if (spawned != 0) {
    failed.Error = std::string("cannot run ") + program + ": " + std::strerror(spawned);
    return failed;
  }
  std::size_t at = output.find("memory-run ");
  if (at == std::string::npos) {
    failed.Error = "no figures from " + program;
    return failed;
  }
  return FromLine(std::string_view(output).substr(at, output.find('\n', at) - at));
}

RelayCpu MeasureProxyCpu(std::int32_t limit, std::int64_t bodyBytes) {
  RelayCpu figures;
  try {
    Origin origin;
    test::LoopbackProxy proxy(PacedProxy(limit));
    DownloadSpec spec{proxy.Port(), ProxyRequest(origin.Port(), bodyBytes, 7),
                      AnswerHeader(bodyBytes, "1.0"), bodyBytes, 7};
    const double before = ProcessCpuSeconds();
    DownloadBatch batch = RunDownloads({spec}, ClientOptions());
    // The run ends right after the close; let it be gone before the process is measured.
    for (int i = 0; i < 500 && proxy.Counters().ConnectionCount.load() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double after = ProcessCpuSeconds();
    const double originCpu = origin.Stop();
    const DownloadResult& result = batch.Results.front();
    figures.Bytes = result.Bytes;
    figures.Seconds = result.Ended - result.Started;
    figures.CpuSeconds = after - before - batch.ClientCpuSeconds - originCpu;
    figures.Error = result.Error;
  } catch (const std::exception& e) {
    figures.Error = e.what();
  }
  return figures;
}

RelayCpu MeasureNginxCpu(const std::string& program, const std::string& directives,
                         std::int64_t bodyBytes) {
  RelayCpu figures;
  try {
    Origin origin;
    const double startUp = Nginx(program, origin.Port(), directives).Stop();
    Nginx nginx(program, origin.Port(), directives);
    // HTTP/1.0, so nginx closes after the answer as the proxy does; nginx adds headers of its own.
    DownloadSpec spec{nginx.Port(), DirectRequest(bodyBytes, 7), "", bodyBytes, 7};
    spec.AnyHeader = true;
    DownloadBatch batch = RunDownloads({spec}, ClientOptions());
    figures.CpuSeconds = nginx.Stop() - startUp;
    const DownloadResult& result = batch.Results.front();
    figures.Bytes = result.Bytes;
    figures.Seconds = result.Ended - result.Started;
    figures.Error = result.Error;
  } catch (const std::exception& e) {
    figures.Error = e.what();
  }
  return figures;
}

}  // namespace bench
