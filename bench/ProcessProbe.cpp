#include "ProcessProbe.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/resource.h>

namespace bench {
namespace {

std::int64_t FieldValue(std::string_view text, std::string_view name) {
  std::size_t at = 0;
  while ((at = text.find(name, at)) != std::string_view::npos) {
    bool lineStart = at == 0 || text[at - 1] == '\n';
    at += name.size();
    if (!lineStart || at >= text.size() || text[at] != ':') continue;
    ++at;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
      ++at;
    std::int64_t value = 0;
    std::from_chars(text.data() + at, text.data() + text.size(), value);
    return value;
  }
  return 0;
}

double Seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

ProcessStatus ParseStatus(std::string_view text) {
  return {FieldValue(text, "Threads"), FieldValue(text, "VmRSS"), FieldValue(text, "VmHWM")};
}

ProcessStatus ReadStatus() {
  std::ifstream file("/proc/self/status");
  std::stringstream text;
  text << file.rdbuf();
  return ParseStatus(text.str());
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage);
}

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return Seconds(usage);
}

PeakSampler::PeakSampler(std::chrono::milliseconds period, std::function<std::int64_t()> gauge)
    : period_(period), gauge_(std::move(gauge)) {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      Sample();
      lock.lock();
      stopRequested_.wait_for(lock, period_, [this] { return stopping_; });
    }
    lock.unlock();
    Sample();
  });
}

PeakSampler::~PeakSampler() {
  Stop();
}

Peaks PeakSampler::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopRequested_.notify_all();
  if (thread_.joinable()) thread_.join();
  return peaks_;
}

void PeakSampler::Sample() {
  ProcessStatus status = ReadStatus();
  peaks_.Threads = std::max(peaks_.Threads, status.Threads);
  peaks_.VmRssKb = std::max(peaks_.VmRssKb, status.VmRssKb);
  if (gauge_) peaks_.Extra = std::max(peaks_.Extra, gauge_());
  ++peaks_.Samples;
}

}  // namespace bench
