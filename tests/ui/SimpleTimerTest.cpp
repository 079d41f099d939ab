#include "ui/SimpleTimer.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QTest>

#include "platform/windowing/Windows.h"

namespace {

using ui::TSimpleTimer;

// Ticks as they arrive: which timer, and when since the fixture began.
class SimpleTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { clock.start(); }

  ui::TSimpleTimerEvent Recorder() {
    return [this](TSimpleTimer* sender) { ticks.push_back({sender, clock.elapsed()}); };
  }
  // Runs the loop until n ticks have arrived or timeoutMs passed.
  bool WaitForTicks(std::size_t n, int timeoutMs = 3000) {
    QElapsedTimer waited;
    waited.start();
    while (ticks.size() < n && waited.elapsed() < timeoutMs)
      QTest::qWait(5);
    return ticks.size() >= n;
  }

  struct Tick {
    TSimpleTimer* sender;
    qint64 at;
  };
  QElapsedTimer clock;
  std::vector<Tick> ticks;
};

TEST_F(SimpleTimerTest, PeriodZeroCannotStart) {
  TSimpleTimer timer(0, Recorder());
  EXPECT_FALSE(timer.StartTimer());
  timer.SetRunning(true);
  EXPECT_FALSE(timer.Running());
}

TEST_F(SimpleTimerTest, SamePeriodKeepsThePhaseAndANewOneRestarts) {
  TSimpleTimer same(600, Recorder());
  TSimpleTimer changed(600, Recorder());
  same.SetRunning(true);
  changed.SetRunning(true);
  QTest::qWait(300);
  same.SetPeriod(600);
  changed.SetPeriod(601);
  ASSERT_TRUE(WaitForTicks(2));
  EXPECT_EQ(ticks[0].sender, &same);
  EXPECT_LT(ticks[0].at, 850);
  EXPECT_EQ(ticks[1].sender, &changed);
  EXPECT_GE(ticks[1].at, 890);
}

TEST_F(SimpleTimerTest, PeriodZeroSuspendsAndANonZeroPeriodResumes) {
  TSimpleTimer timer(20, Recorder());
  timer.SetRunning(true);
  ASSERT_TRUE(WaitForTicks(1));
  timer.SetPeriod(0);
  EXPECT_TRUE(timer.Running());
  ticks.clear();
  QTest::qWait(150);
  EXPECT_TRUE(ticks.empty());
  timer.SetPeriod(100);
  EXPECT_TRUE(WaitForTicks(2));
}

TEST_F(SimpleTimerTest, NoHandlerStopsTheSystemTimerAndANewOneDoesNotRestartIt) {
  TSimpleTimer timer(20, Recorder());
  timer.SetRunning(true);
  timer.SetOnTick({});
  EXPECT_FALSE(timer.StopTimer(false));  // the system timer is gone already
  timer.SetOnTick(Recorder());
  QTest::qWait(150);
  EXPECT_TRUE(ticks.empty());
  EXPECT_TRUE(timer.Running());
}

TEST_F(SimpleTimerTest, OneShotStopsBeforeItsHandler) {
  bool runningInHandler = true;
  TSimpleTimer timer(20, [&](TSimpleTimer* sender) {
    runningInHandler = sender->Running();
    ticks.push_back({sender, clock.elapsed()});
  });
  timer.SetOneShot(true);
  timer.SetRunning(true);
  ASSERT_TRUE(WaitForTicks(1));
  QTest::qWait(120);
  EXPECT_EQ(ticks.size(), 1u);
  EXPECT_FALSE(runningInHandler);
}

TEST_F(SimpleTimerTest, TimersShareOneWindowThatLivesWithThem) {
  ASSERT_EQ(TSimpleTimer::TimerWindowOwner(), nullptr);
  auto first = std::make_unique<TSimpleTimer>();
  ASSERT_NE(TSimpleTimer::TimerWindowOwner(), nullptr);
  win::HWND window = TSimpleTimer::TimerWindowOwner()->Window;
  EXPECT_TRUE(win::IsWindow(window));
  {
    TSimpleTimer second;
    EXPECT_EQ(TSimpleTimer::TimerWindowOwner()->Window, window);
    EXPECT_EQ(TSimpleTimer::TimerWindowOwner()->TimerCount, 2);
  }
  first.reset();
  EXPECT_EQ(TSimpleTimer::TimerWindowOwner(), nullptr);
  EXPECT_FALSE(win::IsWindow(window));
  TSimpleTimer again;
  ASSERT_NE(TSimpleTimer::TimerWindowOwner(), nullptr);
  EXPECT_NE(TSimpleTimer::TimerWindowOwner()->Window, window);
}

TEST_F(SimpleTimerTest, TwoTimersFireIndependentlyWithTheirOwnSender) {
  TSimpleTimer fast(30, Recorder());
  TSimpleTimer slow(200, Recorder());
  fast.SetRunning(true);
  slow.SetRunning(true);
  ASSERT_TRUE(WaitForTicks(8));
  std::size_t fastTicks = 0, slowTicks = 0;
  for (const Tick& tick : ticks)
    (tick.sender == &fast ? fastTicks : slowTicks)++;
  EXPECT_GT(fastTicks, slowTicks);
  EXPECT_GE(fastTicks + slowTicks, 8u);
}

TEST_F(SimpleTimerTest, ExpiryQueuedForADestroyedTimerIsIgnored) {
  TSimpleTimer keeper(1000, Recorder());  // keeps the shared window alive
  auto gone = std::make_unique<TSimpleTimer>(1000, Recorder());
  std::uintptr_t goneId = gone->TimerId();
  gone.reset();
  // Under AddressSanitizer, reaching the freed timer would fail here.
  ASSERT_TRUE(
      win::PostMessageA(TSimpleTimer::TimerWindowOwner()->Window, win::WM_TIMER, goneId, 0));
  QTest::qWait(50);
  EXPECT_TRUE(ticks.empty());
}

}  // namespace
