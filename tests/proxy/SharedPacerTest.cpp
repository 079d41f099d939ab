#include "proxy/SharedPacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

namespace {

using proxy::SharedPacer;

// A line on a clock that moves only when the test says so.
class SharedPacerTest : public ::testing::Test {
 protected:
  SharedPacer::Clock::time_point now_{};
  std::atomic<std::int32_t> limit_{16};
  SharedPacer line_{limit_, [this] { return now_; }};

  void NextTenth() { now_ = line_.NextTick(); }
  // Seats that ask in a tenth that hands out nothing, so that all wait as the next one begins.
  std::vector<std::unique_ptr<SharedPacer::Seat>> Waiting(const std::vector<std::int64_t>& wants) {
    const std::int32_t limit = limit_.exchange(0);
    NextTenth();
    std::vector<std::unique_ptr<SharedPacer::Seat>> seats;
    for (std::int64_t want : wants) {
      seats.push_back(std::make_unique<SharedPacer::Seat>(line_));
      EXPECT_EQ(seats.back()->Room(want), 0);
    }
    limit_ = limit;
    NextTenth();
    return seats;
  }
};

TEST_F(SharedPacerTest, ATwentyKilobyteAnswerAtSixteenTakesThirteenTenthsInEvenSteps) {
  SharedPacer::Seat seat(line_);
  std::int64_t left = 20000;
  int tenths = 0;
  for (; left > 0; ++tenths, NextTenth()) {
    const std::int64_t room = seat.Room(left);
    EXPECT_EQ(room, std::min<std::int64_t>(1600, left)) << "tenth " << tenths;
    left -= room;
    EXPECT_EQ(seat.Room(left), 0) << "a second ask in the same tenth";
  }
  EXPECT_EQ(tenths, 13);
  // A quiet line earns nothing: five idle seconds later, one tenth's worth again.
  now_ += std::chrono::seconds(5);
  EXPECT_EQ(seat.Room(1 << 20), 1600);
}

TEST_F(SharedPacerTest, ATenthIsSharedMaxMinFair) {
  struct Case {
    std::int32_t limit;
    std::vector<std::int64_t> wants, shares;
  };
  const Case cases[] = {
      {64, {9000, 9000}, {3200, 3200}},
      {64, {100, 9000, 9000}, {100, 3150, 3150}},
      {64, {100, 2000, 9000}, {100, 2000, 4300}},
      {64, {1000, 1000}, {1000, 1000}},  // 4400 left for whoever asks next
      {1, {50, 50, 50}, {34, 33, 33}},   // odd bytes: one each, in some order
  };
  for (const Case& c : cases) {
    limit_ = c.limit;
    auto seats = Waiting(c.wants);
    std::vector<std::int64_t> got;
    for (std::size_t i = 0; i < seats.size(); ++i)
      got.push_back(seats[i]->Room(c.wants[i]));
    std::vector<std::int64_t> sortedGot = got, sortedShares = c.shares;
    std::sort(sortedGot.begin(), sortedGot.end());
    std::sort(sortedShares.begin(), sortedShares.end());
    EXPECT_EQ(sortedGot, sortedShares) << "limit " << c.limit << ", seats " << c.wants.size();
    const std::int64_t handed = std::accumulate(got.begin(), got.end(), std::int64_t{0});
    SharedPacer::Seat late(line_);
    EXPECT_EQ(late.Room(1 << 20), std::int64_t{c.limit} * 100 - handed) << "what is left";
  }
}

TEST_F(SharedPacerTest, OddBytesGoRoundSoEqualSeatsEndEqual) {
  limit_ = 1;  // 100 bytes a tenth among three
  auto seats = Waiting({1 << 20, 1 << 20, 1 << 20});
  std::vector<std::int64_t> totals(seats.size());
  for (int tenth = 0; tenth < 30; ++tenth, NextTenth())
    for (std::size_t i = 0; i < seats.size(); ++i)
      totals[i] += seats[i]->Room(1 << 20);
  EXPECT_EQ(totals, (std::vector<std::int64_t>{1000, 1000, 1000}));
}

TEST_F(SharedPacerTest, TheLimitIsReadEachTenthAndZeroHoldsEverything) {
  SharedPacer::Seat seat(line_);
  limit_ = 0;
  for (int tenth = 0; tenth < 10; ++tenth, NextTenth())
    EXPECT_EQ(seat.Room(1 << 20), 0);
  limit_ = 4;
  EXPECT_EQ(seat.Room(1 << 20), 400);
  limit_ = 65535;
  EXPECT_EQ(seat.Room(1 << 20), 0) << "a change waits for the next tenth";
  NextTenth();
  EXPECT_EQ(seat.Room(std::int64_t{1} << 40), 6553500);
}

TEST_F(SharedPacerTest, ASeatThatDoesNotComeBackStaysInLineAndOneThatLeavesDoesNot) {
  limit_ = 64;
  auto seats = Waiting({9000, 9000});
  EXPECT_EQ(seats[0]->Room(9000), 3200);
  NextTenth();  // the second never took its share: it is still owed a place
  EXPECT_EQ(seats[1]->Room(9000), 3200);
  seats.pop_back();
  EXPECT_EQ(line_.Seats(), 1u);
  NextTenth();
  EXPECT_EQ(seats[0]->Room(9000), 6400);
}

}  // namespace
