#include "ui/RateMeter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using ui::TRateMeter;

TEST(RateMeter, TheBytesSinceTheLastReadingOverTheTimeSinceIt) {
  const TRateMeter::Clock::time_point start{};
  struct Step {
    std::uint64_t total;
    std::chrono::milliseconds at;
    double rate;
  } steps[] = {
      {5000, 0ms, 0},         // the first reading has nothing to compare with
      {25000, 1000ms, 20.0},  // a heartbeat's second
      {35000, 1500ms, 20.0},  // a late tick's shorter one
      {35000, 2500ms, 0},     // nothing sent
      {36000, 2500ms, 0},     // no time passed: no rate, not infinity
      {4036000, 3500ms, 4000.0},
  };
  TRateMeter meter;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    EXPECT_DOUBLE_EQ(meter.Read(step.total, start + step.at), step.rate);
  }
}

TEST(RateMeter, ShowsTenthsBelowAHundred) {
  const std::pair<double, const char*> cases[] = {
      {0, "0.0 KB/s"},      {4, "4.0 KB/s"},     {3.96, "4.0 KB/s"},
      {99.94, "99.9 KB/s"}, {99.96, "100 KB/s"}, {65535.4, "65535 KB/s"},
  };
  for (const auto& [rate, shown] : cases)
    EXPECT_EQ(TRateMeter::Format(rate), shown) << rate;
}

}  // namespace
