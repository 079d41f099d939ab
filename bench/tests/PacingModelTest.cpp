#include "PacingModel.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(PacedSecondsTest, CountsThePausesOfWholePeriods) {
  struct Case {
    std::int64_t answer;
    std::int32_t limit;
    double seconds;
  };
  const Case cases[] = {
      {10000, 4, 2},         // 4000, pause, 4000, pause, 2000 and the close
      {8000, 4, 2},          // the second period is used up too: its pause comes before the close
      {3999, 4, 0},          // one short period
      {32768, 32, 1},        // a short read no longer costs a period of its own
      {90500000, 1000, 90},  // 90.5 seconds' worth
      {0, 4, 0},
      {1000, 0, 0},  // a limit of 0 never sends
      {1000, -5, 0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(PacedSeconds(c.answer, c.limit), c.seconds)
        << c.answer << " bytes at limit " << c.limit;
}

TEST(DescribeSizesTest, CountsEqualNeighbours) {
  EXPECT_EQ(DescribeSizes({}), "");
  EXPECT_EQ(DescribeSizes({5}), "5");
  EXPECT_EQ(DescribeSizes({32768, 32768, 8294}), "32768x2 8294");
  EXPECT_EQ(DescribeSizes({1, 2, 1}), "1 2 1");
}

}  // namespace
}  // namespace bench
