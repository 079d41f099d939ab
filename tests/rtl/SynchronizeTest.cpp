#include "rtl/Synchronize.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Thread.h"
#include "rtl/Time.h"
#include "support/WaitUntil.h"

namespace {

using rtl::TThread;

class FnThread : public TThread {
 public:
  explicit FnThread(std::function<void(FnThread&)> body) : TThread(true), body_(std::move(body)) {}
  ~FnThread() override { Shutdown(); }

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FnThread&)> body_;
};

class MainThreadQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    rtl::SetMainThread();
    rtl::CheckSynchronize(0);  // nothing left over from an earlier test
  }
  void TearDown() override { rtl::SetWakeMainThread(nullptr); }

  // Serves the queue until `done` holds; false when that takes more than 5 s.
  template <class Condition>
  bool ServeUntil(Condition done) {
    std::uint32_t start = rtl::GetTickCount();
    while (!done()) {
      if (rtl::GetTickCount() - start > 5000) return false;
      rtl::CheckSynchronize(10);
    }
    return true;
  }
};

TEST_F(MainThreadQueue, WaitForOnTheMainThreadServesSynchronize) {
  std::atomic<std::uint32_t> ranOn{0};
  std::atomic<int> calls{0};
  FnThread thread([&](FnThread&) {
    for (int i = 0; i < 3; ++i)
      rtl::Synchronize([&] {
        ranOn = rtl::GetCurrentThreadId();
        ++calls;
      });
  });
  thread.SetSuspended(false);
  thread.WaitFor();  // deadlocks unless the wait serves the queue
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(ranOn, rtl::GetCurrentThreadId());
}

TEST_F(MainThreadQueue, DestroyingOnTheMainThreadServesSynchronize) {
  std::atomic<int> calls{0};
  auto thread = std::make_unique<FnThread>([&](FnThread& self) {
    while (!self.Terminated())
      rtl::Synchronize([&] { ++calls; });
  });
  thread->SetSuspended(false);
  ASSERT_TRUE(ServeUntil([&] { return calls > 0; }));
  thread.reset();  // the body is most likely blocked in Synchronize now
  EXPECT_GT(calls, 0);
}

TEST_F(MainThreadQueue, CallsFromSeveralThreadsRunInOrderOnTheMainThread) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 250;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the main thread
  std::atomic<bool> offMain{false};
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::make_unique<FnThread>([&, t](FnThread&) {
      for (int i = 0; i < kCalls; ++i) {
        auto record = [&, t, i] {
          if (!rtl::IsMainThread()) offMain = true;
          seen[t].push_back(i);
        };
        // Mix both kinds: waiting calls must keep their place among queued ones.
        if (i % 50 == 49)
          rtl::Synchronize(record);
        else
          rtl::Queue(record);
      }
    }));
  }
  for (auto& thread : threads)
    thread->SetSuspended(false);
  ASSERT_TRUE(ServeUntil([&] {
    for (auto& s : seen)
      if (s.size() < kCalls) return false;
    return true;
  }));
  for (auto& thread : threads)
    thread->WaitFor();
  EXPECT_FALSE(offMain);
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i)
      ASSERT_EQ(seen[t][i], i);
  }
}

TEST_F(MainThreadQueue, SynchronizeRaisesTheCallsExceptionInTheCaller) {
  std::string caught;
  FnThread thread([&](FnThread&) {
    try {
      rtl::Synchronize([] { throw Exception("on main"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  });
  thread.SetSuspended(false);
  thread.WaitFor();
  EXPECT_EQ(caught, "on main");
  EXPECT_FALSE(thread.FatalException());
}

TEST_F(MainThreadQueue, AFailingQueuedCallKeepsTheRestQueuedInOrder) {
  std::vector<int> ran;
  std::thread producer([&] {
    rtl::Queue([&] { ran.push_back(1); });
    rtl::Queue([] { throw Exception("queued failure"); });
    rtl::Queue([&] { ran.push_back(3); });
    rtl::Queue([&] { ran.push_back(4); });
  });
  producer.join();
  EXPECT_THROW(rtl::CheckSynchronize(0), Exception);
  EXPECT_EQ(ran, std::vector<int>({1}));
  EXPECT_TRUE(rtl::CheckSynchronize(0));
  EXPECT_EQ(ran, std::vector<int>({1, 3, 4}));
  EXPECT_FALSE(rtl::CheckSynchronize(0));
}

TEST_F(MainThreadQueue, OnTheMainThreadCallsRunAtOnce) {
  int runs = 0;
  rtl::Queue([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  rtl::Synchronize([&] { ++runs; });
  EXPECT_EQ(runs, 2);
  EXPECT_THROW(rtl::Synchronize([] { throw Exception("direct"); }), Exception);
  EXPECT_FALSE(rtl::CheckSynchronize(0));
}

TEST_F(MainThreadQueue, OnlyTheMainThreadServesTheQueue) {
  std::atomic<int> runs{0};
  std::atomic<bool> servedElsewhere{true};
  std::thread other([&] {
    rtl::Queue([&] { ++runs; });
    servedElsewhere = rtl::CheckSynchronize(0);
  });
  other.join();
  EXPECT_FALSE(servedElsewhere);
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(rtl::CheckSynchronize(0));
  EXPECT_EQ(runs, 1);
}

TEST_F(MainThreadQueue, WakeHookFiresForEveryQueuedCall) {
  std::atomic<int> wakes{0};
  rtl::SetWakeMainThread([&] { ++wakes; });
  std::thread producer([] {
    for (int i = 0; i < 3; ++i)
      rtl::Queue([] {});
  });
  producer.join();
  EXPECT_EQ(wakes, 3);
  rtl::SetWakeMainThread(nullptr);
  std::thread quiet([] { rtl::Queue([] {}); });
  quiet.join();
  EXPECT_EQ(wakes, 3);
  EXPECT_TRUE(rtl::CheckSynchronize(0));
}

}  // namespace

namespace {

// Queues from a worker, so the calls wait for the main thread instead of running at once.
void QueueFromWorker(std::function<void()> call, const void* owner = nullptr) {
  std::thread([&] { rtl::Queue(std::move(call), owner); }).join();
}

TEST_F(MainThreadQueue, WithdrawnCallsNeverRunAndOthersKeepTheirPlace) {
  int owner = 0, other = 0;
  std::vector<std::string> ran;
  QueueFromWorker([&] { ran.push_back("mine 1"); }, &owner);
  QueueFromWorker([&] { ran.push_back("theirs"); }, &other);
  QueueFromWorker([&] {
    ran.push_back("withdraws");
    rtl::RemoveQueuedCalls(&owner);  // "mine 2" is due this turn, yet must not run
  });
  QueueFromWorker([&] { ran.push_back("mine 2"); }, &owner);
  QueueFromWorker([&] { ran.push_back("last"); });
  rtl::CheckSynchronize(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"mine 1", "theirs", "withdraws", "last"}));
}

TEST_F(MainThreadQueue, ACallThatServesTheQueueKeepsTheOrder) {
  std::vector<std::string> ran;
  QueueFromWorker([&] {
    ran.push_back("A1");
    rtl::CheckSynchronize(0);
  });
  QueueFromWorker([&] { ran.push_back("A2"); });
  QueueFromWorker([&] { ran.push_back("A3"); });
  rtl::CheckSynchronize(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"A1", "A2", "A3"}));
}

}  // namespace
