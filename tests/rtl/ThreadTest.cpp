#include "rtl/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <stdexcept>

#include <sys/resource.h>

#include "rtl/Format.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"
#include "support/WaitUntil.h"

namespace {

using rtl::EThread;
using rtl::tpIdle;
using rtl::tpLower;
using rtl::tpLowest;
using rtl::tpNormal;
using rtl::tpTimeCritical;
using rtl::TThread;
using rtl::TThreadPriority;

// Counts what a thread object went through; outlives the object.
struct Trace {
  std::atomic<int> bodyRuns{0};
  std::atomic<int> doTerminates{0};
  std::atomic<int> destructions{0};
  std::atomic<std::uint32_t> bodyThread{0};
  std::atomic<std::uint32_t> destructorThread{0};
};

class FnThread : public TThread {
 public:
  using Body = std::function<void(FnThread&)>;
  FnThread(bool createSuspended, Trace& trace, Body body)
      : TThread(createSuspended), trace_(trace), body_(std::move(body)) {}
  ~FnThread() override {
    Shutdown();
    trace_.destructorThread = rtl::GetCurrentThreadId();
    ++trace_.destructions;
  }

  using TThread::BeginSelfSuspend;
  using TThread::WaitWhileSuspended;

 protected:
  void Execute() override {
    trace_.bodyThread = rtl::GetCurrentThreadId();
    ++trace_.bodyRuns;
    if (body_) body_(*this);
  }
  void DoTerminate() override { ++trace_.doTerminates; }

 private:
  Trace& trace_;
  Body body_;
};

void RunUntilTerminated(FnThread& self) {
  while (!self.Terminated())
    rtl::Sleep(1);
}

// Forgets to shut the thread down first: the body could run on its members as they go.
struct Forgetful : FnThread {
  using FnThread::FnThread;
};

TEST(ThreadDestruction, ShutdownLeftToABaseDestructorAborts) {
#if defined(NDEBUG)
  GTEST_SKIP() << "checked only in builds without NDEBUG";
#elif defined(__SANITIZE_THREAD__)
  // The misuse is itself a race on the vtable, which ThreadSanitizer reports (and halts on)
  // before the check can speak.
  GTEST_SKIP() << "the race under test halts ThreadSanitizer first";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Trace trace;
        TThread::Create<Forgetful>(false, trace, RunUntilTerminated).reset();
      },
      "Forgetful.*was not shut down first");
#endif
}

std::string ErrorText(int error) {
  return Format("Thread Error: %s (%d)", std::system_category().message(error), error);
}

// --- creation, release, termination -------------------------------------------------------

TEST(ThreadLifeCycle, SuspendedThreadRunsOnlyAfterResume) {
  Trace trace;
  std::atomic<int> released{0};
  std::atomic<int> seen{-1};
  FnThread thread(true, trace, [&](FnThread&) { seen = released.load(); });
  EXPECT_TRUE(thread.Suspended());
  EXPECT_NE(thread.ThreadID(), 0u);
  EXPECT_NE(thread.ThreadID(), rtl::GetCurrentThreadId());

  released = 1;
  thread.SetSuspended(false);
  thread.WaitFor();
  EXPECT_EQ(seen, 1) << "the body ran before the thread was resumed";
  EXPECT_TRUE(thread.Finished());
  EXPECT_FALSE(thread.Suspended());
  EXPECT_EQ(trace.bodyThread, thread.ThreadID());
}

TEST(ThreadLifeCycle, RunningThreadStartsWhenConstructionEnds) {
  Trace trace;
  FnThread held(false, trace, nullptr);
  EXPECT_TRUE(held.Suspended()) << "released before the derived parts were built";
  auto thread = TThread::Create<FnThread>(false, trace, nullptr);
  thread->WaitFor();
  EXPECT_EQ(trace.bodyRuns, 1);
  EXPECT_EQ(trace.doTerminates, 1);
  EXPECT_FALSE(thread->FatalException());
  thread->AfterConstruction();  // a second call must not disturb anything
  EXPECT_TRUE(thread->Finished());
}

TEST(ThreadLifeCycle, TerminatedBeforeFirstRunSkipsTheBody) {
  Trace trace;
  FnThread thread(true, trace, [](FnThread&) {});
  thread.Terminate();
  EXPECT_TRUE(thread.Terminated());
  thread.SetSuspended(false);
  thread.WaitFor();
  EXPECT_EQ(trace.bodyRuns, 0);
  EXPECT_EQ(trace.doTerminates, 1);
  EXPECT_TRUE(thread.Terminated()) << "Terminated must never be cleared";
}

TEST(ThreadLifeCycle, DestroyingARunningThreadTerminatesAndWaits) {
  Trace trace;
  std::atomic<bool> ended{false};
  auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread& self) {
    RunUntilTerminated(self);
    ended = true;
  });
  ASSERT_TRUE(test::WaitUntil([&] { return trace.bodyRuns == 1; }));
  thread.reset();
  EXPECT_TRUE(ended) << "the destructor returned before the body ended";
}

TEST(ThreadLifeCycle, DestroyingASelfSuspendedThreadResumesIt) {
  Trace trace;
  std::atomic<bool> woke{false};
  auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread& self) {
    self.SetSuspended(true);
    woke = true;
  });
  ASSERT_TRUE(test::WaitUntil([&] { return thread->Suspended() && trace.bodyRuns == 1; }));
  thread.reset();
  EXPECT_TRUE(woke);
}

// --- exceptions and misuse ------------------------------------------------------------------

TEST(ThreadFailures, ExceptionsEscapingTheBodyAreKept) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    std::string message;  // empty: not derived from std::exception
  };
  const Case cases[] = {
      {"runtime exception", [] { throw Exception("boom"); }, "boom"},
      {"standard exception", [] { throw std::runtime_error("std boom"); }, "std boom"},
      {"anything else", [] { throw 42; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trace trace;
    auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread&) { c.raise(); });
    thread->WaitFor();
    EXPECT_EQ(trace.doTerminates, 1) << "DoTerminate must run after a failed body";
    std::exception_ptr fatal = thread->FatalException();
    ASSERT_TRUE(fatal);
    try {
      std::rethrow_exception(fatal);
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message);
    } catch (int value) {
      EXPECT_TRUE(c.message.empty());
      EXPECT_EQ(value, 42);
    }
  }
}

TEST(ThreadFailures, WaitForOnItsOwnThreadRaisesInsteadOfHanging) {
  Trace trace;
  std::string message;
  auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread& self) {
    try {
      self.WaitFor();
    } catch (const EThread& e) {
      message = e.Message();
    }
  });
  thread->WaitFor();
  EXPECT_EQ(message, ErrorText(EDEADLK));
}

TEST(ThreadFailures, SuspendingAnotherRunningThreadRaises) {
  Trace trace;
  auto thread = TThread::Create<FnThread>(false, trace, RunUntilTerminated);
  ASSERT_TRUE(test::WaitUntil([&] { return trace.bodyRuns == 1; }));
  try {
    thread->SetSuspended(true);
    ADD_FAILURE() << "no exception";
  } catch (const EThread& e) {
    EXPECT_EQ(e.Message(), ErrorText(ENOTSUP));
  }
  EXPECT_FALSE(thread->Suspended());
  thread->Terminate();
  thread->WaitFor();
  // Asking a finished or held thread to suspend changes nothing and raises nothing.
  EXPECT_NO_THROW(thread->SetSuspended(true));
  FnThread held(true, trace, nullptr);
  EXPECT_NO_THROW(held.SetSuspended(true));
  EXPECT_TRUE(held.Suspended());
}

// --- self-suspension ------------------------------------------------------------------------

TEST(ThreadSuspension, SelfSuspensionBlocksUntilResumed) {
  Trace trace;
  std::atomic<int> cycles{0};
  auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread& self) {
    while (!self.Terminated()) {
      self.SetSuspended(true);
      ++cycles;
    }
  });
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(test::WaitUntil([&] { return thread->Suspended(); }));
    EXPECT_EQ(cycles, i - 1) << "the thread went on while suspended";
    thread->SetSuspended(false);
    ASSERT_TRUE(test::WaitUntil([&] { return cycles == i; }));
  }
  thread->Terminate();
  thread->SetSuspended(false);
  thread->WaitFor();
}

TEST(ThreadSuspension, ResumeBetweenMarkAndWaitIsNotLost) {
  Trace trace;
  std::atomic<bool> marked{false};
  std::atomic<bool> resumed{false};
  auto thread = TThread::Create<FnThread>(false, trace, [&](FnThread& self) {
    self.BeginSelfSuspend();
    marked = true;
    while (!resumed)
      rtl::Sleep(1);
    self.WaitWhileSuspended();
  });
  ASSERT_TRUE(test::WaitUntil([&] { return marked.load(); }));
  thread->SetSuspended(false);
  resumed = true;
  thread->WaitFor();  // hangs if the early resume was lost
  EXPECT_TRUE(thread->Finished());
}

// --- free when finished ---------------------------------------------------------------------

TEST(ThreadFreeWhenFinished, ObjectIsDeletedOnItsOwnThread) {
  Trace trace;
  auto* thread = new FnThread(true, trace, [](FnThread&) {});
  thread->SetFreeWhenFinished(true);
  thread->SetSuspended(false);
  thread = nullptr;
  ASSERT_TRUE(test::WaitUntil([&] { return trace.destructions == 1; }));
  EXPECT_EQ(trace.destructorThread, trace.bodyThread);
  EXPECT_NE(trace.destructorThread, rtl::GetCurrentThreadId());
}

TEST(ThreadFreeWhenFinished, WaitThatBeganBeforeTheObjectWentStaysValid) {
  // The body can only end once the main thread is inside WaitFor (it synchronizes with it), and
  // it then frees the object while WaitFor still waits on it.
  rtl::SetMainThread();
  Trace trace;
  auto* thread = new FnThread(true, trace, [](FnThread&) { rtl::Synchronize([] {}); });
  thread->SetFreeWhenFinished(true);
  thread->SetSuspended(false);
  thread->WaitFor();
  ASSERT_TRUE(test::WaitUntil([&] { return trace.destructions == 1; }));
  EXPECT_EQ(trace.destructorThread, trace.bodyThread);
}

TEST(ThreadFreeWhenFinished, OwnerDeletingARunningThreadKeepsItFromFreeingItself) {
  Trace trace;
  auto* thread = new FnThread(false, trace, RunUntilTerminated);
  thread->AfterConstruction();
  thread->SetFreeWhenFinished(true);
  ASSERT_TRUE(test::WaitUntil([&] { return trace.bodyRuns == 1; }));
  delete thread;
  EXPECT_EQ(trace.destructions, 1);
  EXPECT_EQ(trace.destructorThread, rtl::GetCurrentThreadId());
}

// --- priority -------------------------------------------------------------------------------

TEST(ThreadPriority, LowerLevelsLowerTheThreadsNiceValue) {
  Trace trace;
  FnThread thread(true, trace, nullptr);
  auto niceOf = [&] {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread.ThreadID()));
  };
  const int base = niceOf();
  EXPECT_EQ(thread.Priority(), tpNormal);
  struct Case {
    TThreadPriority level;
    int offset;
  };
  // Each step lowers (or keeps) the priority, which needs no privilege.
  const Case cases[] = {{tpLower, 5}, {tpLowest, 10}, {tpIdle, 19}};
  for (const Case& c : cases) {
    thread.SetPriority(c.level);
    EXPECT_EQ(thread.Priority(), c.level);
    EXPECT_EQ(niceOf(), std::min(base + c.offset, 19)) << "level " << c.level;
  }
  // Raising may be refused; that is ignored, and the level asked for is kept.
  EXPECT_NO_THROW(thread.SetPriority(tpTimeCritical));
  EXPECT_EQ(thread.Priority(), tpTimeCritical);
}

}  // namespace
