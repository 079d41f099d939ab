#include "ProcessProbe.h"
#include "support/RawClient.h"

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace bench {
namespace {

TEST(ParseStatusTest, ReadsTheFieldsAtLineStarts) {
  const std::string text =
      "Name:\tbench\nVmHWM:\t   20480 kB\nVmRSS:\t   10240 kB\nNotThreads:\t99\nThreads:\t7\n";
  ProcessStatus status = ParseStatus(text);
  EXPECT_EQ(status.Threads, 7);
  EXPECT_EQ(status.VmRssKb, 10240);
  EXPECT_EQ(status.VmHwmKb, 20480);
}

TEST(ParseStatusTest, MissingFieldsAreZero) {
  ProcessStatus status = ParseStatus("Name:\tbench\nNotThreads:\t99\n");
  EXPECT_EQ(status.Threads, 0);
  EXPECT_EQ(status.VmRssKb, 0);
  EXPECT_EQ(status.VmHwmKb, 0);
}

// Compares two readings while threads of ours are alive, since runtimes (a sanitizer's, for one)
// may start a thread of their own along with the first one.
TEST(ReadStatusTest, CountsAThreadWhileItRuns) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto startWaiting = [&released] {
    auto started = std::make_shared<std::promise<void>>();
    std::future<void> ready = started->get_future();
    std::thread thread([started, released] {
      started->set_value();
      released.wait();
    });
    ready.wait();
    return thread;
  };
  std::thread first = startWaiting();
  ProcessStatus one = ReadStatus();
  std::thread second = startWaiting();
  ProcessStatus two = ReadStatus();
  release.set_value();
  first.join();
  second.join();
  EXPECT_EQ(two.Threads, one.Threads + 1);
  EXPECT_GT(two.VmRssKb, 0);
}

TEST(PeakSamplerTest, KeepsTheHighestGaugeValue) {
  std::atomic<int> calls{0};
  PeakSampler sampler(std::chrono::milliseconds(1), [&calls] {
    return calls.fetch_add(1) == 0 ? std::int64_t{10} : std::int64_t{3};
  });
  Peaks peaks = sampler.Stop();
  EXPECT_EQ(peaks.Extra, 10);
  EXPECT_EQ(peaks.Samples, calls.load());
  EXPECT_GE(peaks.Threads, 2);  // this one and the sampler
  EXPECT_EQ(sampler.Stop().Samples, peaks.Samples);
}

TEST(RaiseFileLimitTest, NeverLowersAndReachesWhatTheHardLimitAllows) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  EXPECT_EQ(test::RaiseOpenFileLimit(1), static_cast<std::int64_t>(before.rlim_cur));
  std::int64_t wanted = before.rlim_max == RLIM_INFINITY
                            ? static_cast<std::int64_t>(before.rlim_cur) + 16
                            : static_cast<std::int64_t>(before.rlim_max);
  EXPECT_EQ(test::RaiseOpenFileLimit(wanted), std::max<std::int64_t>(wanted, before.rlim_cur));
  rlimit after{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(static_cast<std::int64_t>(after.rlim_cur), test::RaiseOpenFileLimit(1));
}

}  // namespace
}  // namespace bench
