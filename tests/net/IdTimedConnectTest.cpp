#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "ClientTestPeers.h"
#include "net/IdAntiFreezeBase.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

namespace {

using test::RefusingPort;
using test::UnansweredListener;
using Clock = std::chrono::steady_clock;

constexpr const char* kLoopback = "127.0.0.1";

class CountingAntiFreeze : public TIdAntiFreezeBase {
 public:
  void Process() override { ++processed; }
  int processed = 0;
};

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TimedConnectTest : public testing::Test {
 protected:
  // Connects the handler to 127.0.0.1:port; returns the milliseconds it took, raising as it does.
  std::int64_t ConnectTimed(std::int32_t port, std::int32_t timeout) {
    const auto start = Clock::now();
    handler_.Open();
    handler_.ConnectTo(kLoopback, port, "", 0, 0, 0, timeout);
    return MsSince(start);
  }

  TIdIOHandlerSocket handler_;
};

TEST_F(TimedConnectTest, CloseFromAnotherThreadNeverPassesForSuccess) {
  UnansweredListener silent;
  ASSERT_NE(0, silent.Port()) << "could not fill the accept queue";
  // Closed before the connect thread has begun, or while its connect is pending.
  for (int delayMs : {0, 200}) {
    SCOPED_TRACE(delayMs);
    std::atomic<bool> connecting{false};
    handler_.OnStatus = [&](TIdComponent*, TIdStatus status, const std::string&) {
      if (status == hsConnecting) connecting = true;
    };
    std::thread closer([&] {
      const auto start = Clock::now();
      while (!connecting && MsSince(start) < 5000)
        std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      handler_.Close();
    });
    const auto start = Clock::now();
    try {
      ConnectTimed(silent.Port(), 4000);
      ADD_FAILURE() << "a connect whose socket was closed succeeded";
    } catch (const EIdConnectTimeout&) {
      ADD_FAILURE() << "the close was not noticed before the time-out";
    } catch (const EIdClosedSocket& e) {
      EXPECT_EQ("Disconnected.", e.Message());
    } catch (const EIdConnectException& e) {
      EXPECT_NE("", e.Message());
    }
    closer.join();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_FALSE(handler_.IsConnected());
    handler_.OnStatus = nullptr;
  }
}

class AntiFreezeConnectTest : public TimedConnectTest {
 protected:
  CountingAntiFreeze antiFreeze_;
};

TEST_F(AntiFreezeConnectTest, DefaultTimeoutBecomesTimedWhileInUse) {
  RefusingPort closed;
  for (std::int32_t timeout : {-1, 0}) {
    SCOPED_TRACE(timeout);
    antiFreeze_.processed = 0;
    EXPECT_THROW(ConnectTimed(closed.Port(), timeout), EIdConnectException);
    EXPECT_GE(antiFreeze_.processed, 1);
  }
  // An inactive anti-freeze is not in use: the connect stays on this thread.
  antiFreeze_.SetActive(false);
  antiFreeze_.processed = 0;
  EXPECT_THROW(ConnectTimed(closed.Port(), -1), EIdSocketError);
  EXPECT_EQ(0, antiFreeze_.processed);
}

TEST_F(AntiFreezeConnectTest, PollStepFollowsTheIdleTimeOut) {
  UnansweredListener silent;
  ASSERT_NE(0, silent.Port()) << "could not fill the accept queue";
  constexpr std::int32_t kTimeout = 400;
  struct Case {
    std::int32_t idleTimeOut;
    int minCalls;
    int maxCalls;
  };
  // A step of 20 ms polls about 20 times; above 125 ms the step stays 125 (3 polls); an idle
  // time-out of 0 must still count the time down instead of polling forever.
  for (const Case& c : {Case{20, 10, 20}, Case{1000, 2, 3}, Case{0, 40, kTimeout}}) {
    SCOPED_TRACE(c.idleTimeOut);
    antiFreeze_.SetIdleTimeOut(c.idleTimeOut);
    antiFreeze_.processed = 0;
    const auto start = Clock::now();
    EXPECT_THROW(ConnectTimed(silent.Port(), kTimeout), EIdConnectTimeout);
    const std::int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, kTimeout - 10);
    EXPECT_LT(elapsed, kTimeout + 2000);
    EXPECT_GE(antiFreeze_.processed, c.minCalls);
    EXPECT_LE(antiFreeze_.processed, c.maxCalls);
  }
}

TEST_F(AntiFreezeConnectTest, OtherThreadsIgnoreTheAntiFreeze) {
  RefusingPort closed;
  bool socketError = false;
  std::thread([&] {
    TIdIOHandlerSocket handler;
    handler.Open();
    try {
      handler.ConnectTo(kLoopback, closed.Port(), "", 0, 0, 0, -1);
    } catch (const EIdSocketError&) {
      socketError = true;
    } catch (...) {
    }
  }).join();
  EXPECT_TRUE(socketError) << "a default connect off the main thread must not be timed";
  EXPECT_EQ(0, antiFreeze_.processed);
}

}  // namespace
