#include "ScaleLoad.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "Answer.h"

namespace bench {
namespace {

TEST(PercentileTest, TakesTheNearestRank) {
  const std::vector<double> values = {5, 1, 4, 2, 3};
  EXPECT_EQ(Percentile(values, 0.0), 1);
  EXPECT_EQ(Percentile(values, 0.5), 3);
  EXPECT_EQ(Percentile(values, 0.99), 5);
  EXPECT_EQ(Percentile({}, 0.5), 0);
}

TEST(PeakOverlapTest, CountsOnlyIntervalsOpenTogether) {
  // [0, 2) and [2, 4) only touch; the one that ended before it began is left out.
  EXPECT_EQ(PeakOverlap({{0, 2}, {1, 3}, {2, 4}, {5, 4}}), 2);
  EXPECT_EQ(PeakOverlap({{0, 10}, {1, 2}, {1.5, 3}, {9, 11}}), 3);
  EXPECT_EQ(PeakOverlap({}), 0);
}

TEST(CpuSecondsFromStatTest, SkipsACommandNameWithBlanksAndParentheses) {
  const std::string stat = "42 (scale (x) y) S 1 42 42 0 -1 4194560 10 0 0 0 250 150 0 0 20 0 3";
  EXPECT_DOUBLE_EQ(CpuSecondsFromStat(stat, 100), 4.0);
  EXPECT_EQ(CpuSecondsFromStat("42 no parenthesis", 100), 0);
}

// The origin server and the client together, over loopback: every answer checked byte by byte.
class ManyDownloadsTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::pipe(stop_));
    server_ = std::thread([this] { origin_.Run(stop_[0]); });
  }
  void TearDown() override {
    ::close(stop_[1]);  // the origin sees its stop descriptor turn readable
    server_.join();
    ::close(stop_[0]);
  }

  ManyOrigin origin_;
  int stop_[2] = {-1, -1};
  std::thread server_;
};

TEST_P(ManyDownloadsTest, ChecksEveryAnswerAndTellsAWrongOneApart) {
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < 40; ++i) {
    const std::int64_t body = 1000 + 97 * i;
    specs.push_back({origin_.Port(), DirectRequest(body, i), AnswerHeader(body, "1.1"), body, i});
  }
  specs.back().Id = 7;  // asks for answer 39 but expects the bytes of answer 7
  const DownloadBatch batch = RunManyDownloads(specs, GetParam(), std::chrono::seconds(20));
  for (std::size_t i = 0; i + 1 < specs.size(); ++i) {
    EXPECT_TRUE(batch.Results[i].Correct) << i << ": " << batch.Results[i].Error;
    EXPECT_GE(batch.Results[i].Ended, batch.Results[i].FirstByte);
  }
  EXPECT_EQ(batch.Results.back().Error, "unexpected bytes");
}

// A ramp that keeps four connects waiting at most, and a burst.
INSTANTIATE_TEST_SUITE_P(Starts, ManyDownloadsTest, ::testing::Values(4, 0));

}  // namespace
}  // namespace bench
