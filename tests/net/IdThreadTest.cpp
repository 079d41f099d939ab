#include "net/IdThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "net/IdThreadMgrDefault.h"
#include "rtl/Time.h"
#include "support/WaitUntil.h"

namespace {

using Events = std::vector<std::string>;

// What the threads of one test did, in order; shared by several threads.
class Log {
 public:
  void Add(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  Events Get() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::atomic<int> constructed{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> destroyedOnOwnThread{0};

 private:
  std::mutex mutex_;
  Events events_;
};

// Logs every hook; the hook named in failIn raises. Set the fields before Start.
class ProbeThread : public TIdThread {
 public:
  ProbeThread(bool ACreateSuspended, Log& log) : TIdThread(ACreateSuspended), log_(log) {
    ++log_.constructed;
  }
  ~ProbeThread() override {
    inDestructor_ = true;
    BeforeDestruction();
    if (ranOn_ == rtl::GetCurrentThreadId()) ++log_.destroyedOnOwnThread;
    ++log_.destroyed;
  }

  std::string failIn;
  std::function<void()> raise = [this] { throw Exception(failIn + " failed"); };
  std::function<void(ProbeThread&)> onRunOnce;  // default: stop after the first call
  std::function<void(ProbeThread&)> onRunCleanup;

 protected:
  void BodyStarting() override {
    ranOn_ = rtl::GetCurrentThreadId();
    Hook("BodyStarting");
  }
  void RunStarting() override { Hook("RunStarting"); }
  void RunOnce() override {
    Hook("RunOnce");
    if (onRunOnce)
      onRunOnce(*this);
    else
      Stop();
  }
  void RunEnded() override { Hook("RunEnded"); }
  void RunCleanup() override {
    TIdThread::RunCleanup();
    if (inDestructor_) return;  // the last cleanup at destruction is not part of the run
    Hook("RunCleanup");
    if (onRunCleanup) onRunCleanup(*this);
  }
  void BodyEnding() override { Hook("BodyEnding"); }

 private:
  void Hook(const std::string& name) {
    log_.Add(name);
    if (name == failIn) raise();
  }
  Log& log_;
  std::atomic<std::uint32_t> ranOn_{0};
  bool inDestructor_ = false;
};

// A body that goes on until someone stops or terminates the thread.
void RunUntilStopped(ProbeThread&) {
  rtl::Sleep(1);
}

// --- stopped state and cycles -------------------------------------------------------------

TEST(IdThreadStates, CreatedSuspendedIsStoppedUntilStart) {
  Log log;
  ProbeThread thread(true, log);
  thread.onRunOnce = RunUntilStopped;
  EXPECT_TRUE(thread.IsStopped());
  thread.Start();
  ASSERT_TRUE(test::WaitUntil([&] { return log.Get().size() >= 3; }));
  EXPECT_FALSE(thread.IsStopped());
  thread.Start();  // already running: nothing changes
  EXPECT_FALSE(thread.IsStopped());
  thread.Stop();
  EXPECT_TRUE(thread.Terminated()) << "StopByTerminate must terminate";
  thread.WaitFor();

  Events events = log.Get();
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(Events(events.begin(), events.begin() + 3),
            Events({"BodyStarting", "RunStarting", "RunOnce"}));
  EXPECT_EQ(Events(events.end() - 3, events.end()),
            Events({"RunEnded", "RunCleanup", "BodyEnding"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "RunStarting"), 1);
}

TEST(IdThreadStates, StopFromRunOnceEndsTheOnlyCycle) {
  Log log;
  ProbeThread thread(true, log);
  int calls = 0;  // touched on the thread only
  thread.onRunOnce = [&](ProbeThread& self) {
    if (++calls == 3) self.Stop();
  };
  thread.Start();
  thread.WaitFor();
  EXPECT_EQ(log.Get(), Events({"BodyStarting", "RunStarting", "RunOnce", "RunOnce", "RunOnce",
                               "RunEnded", "RunCleanup", "BodyEnding"}));
  EXPECT_TRUE(thread.Terminated());
  EXPECT_TRUE(thread.IsStopped());
  EXPECT_EQ(thread.TerminatingClass(), nullptr);
  EXPECT_EQ(thread.TerminatingMessage(), "");
}

TEST(IdThreadStates, StopBySuspendRunsACycleForEachStart) {
  Log log;
  ProbeThread thread(true, log);
  thread.SetStopMode(StopBySuspend);
  thread.OnStopped = [&](TIdThread*) { log.Add("Stopped"); };
  const Events cycle = {"RunStarting", "RunOnce", "RunEnded", "RunCleanup", "Stopped"};

  thread.Start();
  Events expected = {"BodyStarting"};
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    ASSERT_TRUE(test::WaitUntil([&] { return thread.Suspended() && log.Get() == expected; }));
    EXPECT_TRUE(thread.IsStopped());
    EXPECT_FALSE(thread.Terminated()) << "suspending must not terminate";
    if (round < 3) thread.Start();
  }
  thread.TerminateAndWaitFor();
  expected.push_back("BodyEnding");
  EXPECT_EQ(log.Get(), expected);
}

// Stops by suspending itself after its one cycle.
class SelfSuspendingThread : public TIdThread {
 public:
  SelfSuspendingThread() : TIdThread(true) { SetStopMode(StopBySuspend); }
  ~SelfSuspendingThread() override { BeforeDestruction(); }

 protected:
  void RunOnce() override { Stop(); }
};

TEST(IdThreadStates, DestructionNeverMissesAThreadAsItSuspendsItself) {
  // Each destruction is let loose just as the body goes to check Terminated and suspend itself;
  // a wake-up that fell between the two would leave the destructor waiting for ever.
  for (int i = 0; i < 2000; ++i) {
    std::atomic<bool> destroying{false};
    auto thread = std::make_unique<SelfSuspendingThread>();
    thread->OnStopped = [&](TIdThread*) {
      while (!destroying)
        std::this_thread::yield();
    };
    thread->Start();
    destroying = true;
    thread.reset();
  }
}

TEST(IdThreadStates, TerminatedBeforeFirstRunCallsNoHook) {
  Log log;
  ProbeThread thread(true, log);
  thread.OnStopped = [&](TIdThread*) { log.Add("Stopped"); };
  thread.Terminate();
  EXPECT_TRUE(thread.IsStopped());
  thread.Start();  // only lets it end
  thread.WaitFor();
  EXPECT_EQ(log.Get(), Events());
}

TEST(IdThreadStates, DataIsFreedAtEveryCleanupAndAtDestruction) {
  struct Tracker {
    explicit Tracker(std::atomic<int>& counter) : freed(counter) {}
    ~Tracker() { ++freed; }
    std::atomic<int>& freed;
  };
  std::atomic<int> freed{0};
  Log log;
  {
    ProbeThread thread(true, log);
    thread.SetData(std::make_unique<Tracker>(freed));
    EXPECT_NE(thread.Data<Tracker>(), nullptr);
    EXPECT_EQ(thread.Data<int>(), nullptr) << "a different type must not be handed out";
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(freed, 1);
    EXPECT_FALSE(thread.HasData());
    thread.SetData(std::make_unique<Tracker>(freed));
  }
  EXPECT_EQ(freed, 2) << "destruction must free the data too";
}

TEST(IdThreadStates, TerminateAndWaitForRefusesAThreadThatFreesItself) {
  Log log;
  ProbeThread thread(true, log);
  thread.SetFreeWhenFinished(true);
  try {
    thread.TerminateAndWaitFor();
    ADD_FAILURE() << "no exception";
  } catch (const EIdThreadTerminateAndWaitFor& e) {
    EXPECT_EQ(e.Message(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  EXPECT_FALSE(thread.Terminated()) << "nothing else may change";
  thread.SetFreeWhenFinished(false);
}

// --- exceptions out of the hooks ----------------------------------------------------------

TEST(IdThreadExceptions, AreRecordedReportedOnceAndEndTheBodyAfterItsCleanups) {
  struct Case {
    std::string failIn;
    Events expected;
  };
  const std::vector<Case> cases = {
      {"RunOnce",
       {"BodyStarting", "RunStarting", "RunOnce", "RunEnded", "RunCleanup", "BodyEnding"}},
      {"RunStarting", {"BodyStarting", "RunStarting", "RunCleanup", "BodyEnding"}},
      {"RunEnded",
       {"BodyStarting", "RunStarting", "RunOnce", "RunEnded", "RunCleanup", "BodyEnding"}},
      {"RunCleanup",
       {"BodyStarting", "RunStarting", "RunOnce", "RunEnded", "RunCleanup", "BodyEnding"}},
      {"BodyStarting", {"BodyStarting"}},
      {"BodyEnding",
       {"BodyStarting", "RunStarting", "RunOnce", "RunEnded", "RunCleanup", "BodyEnding"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failIn);
    Log log;
    ProbeThread thread(true, log);
    thread.failIn = c.failIn;
    thread.onRunOnce = RunUntilStopped;  // only the exception may end the cycle
    if (c.failIn == "RunEnded" || c.failIn == "RunCleanup" || c.failIn == "BodyEnding")
      thread.onRunOnce = nullptr;
    std::atomic<int> reports{0};
    std::string reported;
    std::uint32_t reportedOn = 0;
    thread.OnException = [&](TIdThread* AThread, const std::exception& AException) {
      ++reports;
      reported = AException.what();
      reportedOn = rtl::GetCurrentThreadId();
      EXPECT_EQ(AThread, &thread);
    };
    thread.Start();
    thread.WaitFor();

    Events events = log.Get();
    if (c.failIn == "RunOnce") {
      // The first RunOnce raises, so there is exactly one.
      EXPECT_EQ(std::count(events.begin(), events.end(), "RunOnce"), 1);
    }
    EXPECT_EQ(events, c.expected);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(reported, c.failIn + " failed");
    EXPECT_EQ(reportedOn, thread.ThreadID());
    EXPECT_EQ(thread.TerminatingMessage(), c.failIn + " failed");
    ASSERT_NE(thread.TerminatingClass(), nullptr);
    EXPECT_EQ(*thread.TerminatingClass(), typeid(Exception));
    EXPECT_TRUE(thread.Terminated());
    EXPECT_FALSE(thread.FatalException()) << "the exception must go no further";
  }
}

TEST(IdThreadExceptions, KeepTheMostDerivedClass) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    const std::type_info& kind;
    std::string message;
  };
  const Case cases[] = {
      {"network kind", [] { throw EIdClosedSocket(); }, typeid(EIdClosedSocket), "Disconnected."},
      {"standard kind", [] { throw std::runtime_error("std"); }, typeid(std::runtime_error), "std"},
      {"not an exception class", [] { throw 7; }, typeid(int), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log log;
    ProbeThread thread(true, log);
    thread.failIn = "RunOnce";
    thread.raise = c.raise;
    std::string reported = "(none)";
    thread.OnException = [&](TIdThread*, const std::exception& e) { reported = e.what(); };
    thread.Start();
    thread.WaitFor();
    ASSERT_NE(thread.TerminatingClass(), nullptr);
    EXPECT_EQ(*thread.TerminatingClass(), c.kind);
    EXPECT_EQ(thread.TerminatingMessage(), c.message);
    EXPECT_EQ(reported, c.message);
  }
}

// --- thread manager -----------------------------------------------------------------------

class IdThreadMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mgr.SetThreadClass([this](bool ACreateSuspended) {
      return std::make_unique<ProbeThread>(ACreateSuspended, log);
    });
  }
  ProbeThread* Acquire() { return static_cast<ProbeThread*>(mgr.AcquireThread()); }

  Log log;
  TIdThreadMgrDefault mgr;
};

TEST_F(IdThreadMgrTest, NewThreadWithoutAClassRaisesAndMakesNothing) {
  mgr.SetThreadClass(nullptr);
  try {
    mgr.NewThread();
    ADD_FAILURE() << "no exception";
  } catch (const EIdThreadClassNotSpecified& e) {
    EXPECT_EQ(e.Message(), "Thread Class Not Specified.");
  }
  EXPECT_THROW(mgr.AcquireThread(), EIdThreadMgrError);
  EXPECT_EQ(log.constructed, 0);
  EXPECT_EQ(mgr.ActiveThreads().Count(), 0u);
}

TEST_F(IdThreadMgrTest, NewThreadIsSuspendedUnlistedAndAtTheManagersPriority) {
  EXPECT_EQ(mgr.ThreadPriority(), rtl::tpNormal);
  mgr.SetThreadPriority(rtl::tpLower);
  std::unique_ptr<TIdThread> thread = mgr.NewThread();
  EXPECT_TRUE(thread->Suspended());
  EXPECT_TRUE(thread->IsStopped());
  EXPECT_EQ(thread->Priority(), rtl::tpLower);
  EXPECT_EQ(mgr.ActiveThreads().Count(), 0u);
}

TEST_F(IdThreadMgrTest, AcquireListsAndReleaseFromOutsideFrees) {
  ProbeThread* idle = Acquire();
  ProbeThread* running = Acquire();
  EXPECT_EQ(mgr.ActiveThreads().Count(), 2u);
  EXPECT_TRUE(idle->Suspended());

  running->onRunOnce = RunUntilStopped;
  running->Start();
  ASSERT_TRUE(test::WaitUntil([&] { return log.Get().size() >= 3; }));

  mgr.ReleaseThread(running);  // terminates, waits and frees
  EXPECT_EQ(log.destroyed, 1);
  EXPECT_EQ(mgr.ActiveThreads().Count(), 1u);
  EXPECT_TRUE(mgr.ActiveThreads().Contains(idle));
  EXPECT_EQ(log.Get().back(), "BodyEnding");

  mgr.ReleaseThread(idle);  // never started: freed without running
  EXPECT_EQ(log.destroyed, 2);
  EXPECT_EQ(log.destroyedOnOwnThread, 0);
  EXPECT_EQ(mgr.ActiveThreads().Count(), 0u);
  Events events = log.Get();
  EXPECT_EQ(std::count(events.begin(), events.end(), "BodyStarting"), 1);
}

TEST_F(IdThreadMgrTest, ThreadsReleasingThemselvesFreeThemselves) {
  constexpr int kThreads = 8;
  std::atomic<int> afterRelease{0};
  std::vector<ProbeThread*> threads;
  for (int i = 0; i < kThreads; ++i) {
    ProbeThread* thread = Acquire();
    // As the server does: the run hands the thread back from its own cleanup.
    thread->onRunCleanup = [&](ProbeThread& self) {
      mgr.ReleaseThread(&self);  // returns at once
      if (self.FreeWhenFinished() && self.Terminated()) ++afterRelease;
    };
    threads.push_back(thread);
  }
  EXPECT_EQ(mgr.ActiveThreads().Count(), static_cast<std::size_t>(kThreads));
  for (ProbeThread* thread : threads)
    thread->Start();
  threads.clear();  // they may be gone at any moment now

  ASSERT_TRUE(test::WaitUntil([&] { return log.destroyed == kThreads; }));
  EXPECT_EQ(log.destroyedOnOwnThread, kThreads);
  EXPECT_EQ(afterRelease, kThreads) << "the object must stay valid until its body ends";
  EXPECT_EQ(mgr.ActiveThreads().Count(), 0u);
  Events events = log.Get();
  EXPECT_EQ(std::count(events.begin(), events.end(), "BodyEnding"), kThreads);
}

}  // namespace
