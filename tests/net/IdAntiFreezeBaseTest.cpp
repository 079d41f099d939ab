#include "net/IdAntiFreezeBase.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "net/IdComponent.h"
#include "net/SocketTestSupport.h"

namespace {

// Counts its Process calls and can run a step in each.
class CountingAntiFreeze : public TIdAntiFreezeBase {
 public:
  void Process() override {
    ++processed;
    if (onProcess) onProcess();
  }
  int processed = 0;
  std::function<void()> onProcess;
};

// Runs fn on a thread other than the main one.
void OnOtherThread(const std::function<void()>& fn) {
  std::thread(fn).join();
}

TEST(IdAntiFreezeBaseTest, WithoutAnInstanceNothingIsInUse) {
  ASSERT_EQ(nullptr, TIdAntiFreezeBase::Instance());
  EXPECT_FALSE(TIdAntiFreezeBase::IsInUse());
  bool inUseElsewhere = true;
  OnOtherThread([&] { inUseElsewhere = TIdAntiFreezeBase::IsInUse(); });
  EXPECT_FALSE(inUseElsewhere);
  for (bool idle : {false, true})
    for (bool override : {false, true})
      TIdAntiFreezeBase::ProcessIfNeeded(idle, override);
  EXPECT_EQ(nullptr, TIdAntiFreezeBase::Instance());
}

TEST(IdAntiFreezeBaseTest, DefaultsAndRegistration) {
  auto first = std::make_unique<CountingAntiFreeze>();
  EXPECT_TRUE(first->Active());
  EXPECT_TRUE(first->ApplicationHasPriority());
  EXPECT_TRUE(first->OnlyWhenIdle());
  EXPECT_EQ(250, first->IdleTimeOut());
  EXPECT_EQ(first.get(), TIdAntiFreezeBase::Instance());

  auto second = std::make_unique<CountingAntiFreeze>();
  EXPECT_EQ(second.get(), TIdAntiFreezeBase::Instance());
  first.reset();  // the replaced one leaves the newer registered
  EXPECT_EQ(second.get(), TIdAntiFreezeBase::Instance());
  second.reset();
  EXPECT_EQ(nullptr, TIdAntiFreezeBase::Instance());
}

TEST(IdAntiFreezeBaseTest, ProcessRunsOnlyWhenAskedOnTheMainThread) {
  struct Case {
    bool onlyWhenIdle, active, idle, override;
    int expected;
  };
  const Case cases[] = {
      {true, true, false, false, 0},  {true, true, true, false, 1}, {true, true, false, true, 1},
      {false, true, false, false, 1}, {true, false, true, true, 0}, {false, false, true, false, 0},
  };
  for (const Case& c : cases) {
    CountingAntiFreeze antiFreeze;
    antiFreeze.SetOnlyWhenIdle(c.onlyWhenIdle);
    antiFreeze.SetActive(c.active);
    EXPECT_EQ(c.active, TIdAntiFreezeBase::IsInUse());
    TIdAntiFreezeBase::ProcessIfNeeded(c.idle, c.override);
    EXPECT_EQ(c.expected, antiFreeze.processed)
        << c.onlyWhenIdle << c.active << c.idle << c.override;

    OnOtherThread([&] {
      EXPECT_FALSE(TIdAntiFreezeBase::IsInUse());
      TIdAntiFreezeBase::ProcessIfNeeded(c.idle, c.override);
    });
    EXPECT_EQ(c.expected, antiFreeze.processed) << "processed on another thread";
  }
}

class IdAntiFreezeWaitTest : public testing::Test {
 protected:
  TIdComponent stackUser_;
  test::ConnectedPair pair_;
  CountingAntiFreeze antiFreeze_;
};

TEST_F(IdAntiFreezeWaitTest, LongWaitsAreSlicedRemainderFirst) {
  struct Case {
    std::int32_t timeout, idleTimeOut;
    int slices;
  };
  for (const Case c : {Case{50, 20, 3}, Case{40, 20, 2}, Case{20, 20, 1}, Case{5, 20, 1}}) {
    antiFreeze_.processed = 0;
    antiFreeze_.SetIdleTimeOut(c.idleTimeOut);
    EXPECT_FALSE(pair_.server.WaitReadable(c.timeout));
    EXPECT_EQ(c.slices, antiFreeze_.processed) << c.timeout << "/" << c.idleTimeOut;
  }
}

TEST_F(IdAntiFreezeWaitTest, EndlessWaitProcessesUntilDataArrives) {
  antiFreeze_.SetIdleTimeOut(5);
  antiFreeze_.onProcess = [this] {
    if (antiFreeze_.processed == 3) pair_.client.Transmit("x", 1);
  };
  EXPECT_TRUE(pair_.server.WaitReadable(IdTimeoutInfinite));
  // The slice that finds the byte is not idle, so it does not process.
  EXPECT_EQ(3, antiFreeze_.processed);
}

TEST_F(IdAntiFreezeWaitTest, EndlessWaitEndsWhenTheSocketIsClosed) {
  antiFreeze_.SetIdleTimeOut(5);
  antiFreeze_.onProcess = [this] {
    if (antiFreeze_.processed == 2) pair_.server.Close();
  };
  EXPECT_THROW(pair_.server.WaitReadable(IdTimeoutInfinite), EIdConnClosedGracefully);
  EXPECT_EQ(2, antiFreeze_.processed);
}

TEST_F(IdAntiFreezeWaitTest, OtherThreadsWaitInOnePiece) {
  antiFreeze_.SetIdleTimeOut(5);
  OnOtherThread([this] { EXPECT_FALSE(pair_.server.WaitReadable(30)); });
  EXPECT_EQ(0, antiFreeze_.processed);
}

}  // namespace
