#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdStackWindows.h"
#include "platform/WinSock2.h"

namespace {

// These tests own the user count: nothing else holds a user while they run.
class IdStackLifetimeTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(StackUserCount(), 0);
    ASSERT_EQ(GlobalStack(), nullptr);
  }
  void TearDown() override {
    while (StackUserCount() > 0)
      RemoveStackUser();
  }
};

TEST_F(IdStackLifetimeTest, FirstUserCreatesAndLastFrees) {
  AddStackUser();
  EXPECT_EQ(StackUserCount(), 1);
  TIdStack* stack = GlobalStack();
  ASSERT_NE(stack, nullptr);
  EXPECT_NE(dynamic_cast<TIdStackWindows*>(stack), nullptr);
  EXPECT_TRUE(SocketsStarted());

  AddStackUser();
  EXPECT_EQ(StackUserCount(), 2);
  EXPECT_EQ(GlobalStack(), stack);

  RemoveStackUser();
  EXPECT_EQ(StackUserCount(), 1);
  EXPECT_EQ(GlobalStack(), stack);

  RemoveStackUser();
  EXPECT_EQ(StackUserCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);

  // A removal without a user must not drive the count below zero.
  RemoveStackUser();
  EXPECT_EQ(StackUserCount(), 0);
  AddStackUser();
  EXPECT_EQ(StackUserCount(), 1);
  EXPECT_NE(GlobalStack(), nullptr);
  RemoveStackUser();
  EXPECT_EQ(GlobalStack(), nullptr);
}

TEST_F(IdStackLifetimeTest, StartUpHappensOncePerProcess) {
  for (int round = 0; round < 3; ++round) {
    AddStackUser();
    ASSERT_NE(GlobalStack(), nullptr);
    RemoveStackUser();
    EXPECT_TRUE(SocketsStarted());
  }
  // The library counts start-ups. If the stack had started it more than once, one clean-up
  // would leave it running.
  ASSERT_EQ(winsock::WSACleanup(), 0);
  EXPECT_EQ(winsock::socket(winsock::AF_INET, winsock::SOCK_STREAM, 0), winsock::INVALID_SOCKET);
  EXPECT_EQ(winsock::WSAGetLastError(), winsock::WSANOTINITIALISED);
  winsock::WSAData data{};
  ASSERT_EQ(winsock::WSAStartup(winsock::MakeWord(2, 2), &data), 0);  // restore for the exit
}

std::unique_ptr<TIdStack> FailingStack() {
  throw EIdStackInitializationFailed();
}

TEST_F(IdStackLifetimeTest, FailedCreationLeavesNoStackAndNoUser) {
  TIdStackClass previous = StackClass();
  SetStackClass(&FailingStack);
  try {
    AddStackUser();
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdStackError& e) {
    EXPECT_EQ(e.Message(), "Winsock Initialization Error.");
  }
  SetStackClass(previous);
  EXPECT_EQ(StackUserCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);

  // The lock was released on the way out, and the next user gets a working stack.
  AddStackUser();
  EXPECT_EQ(StackUserCount(), 1);
  EXPECT_NE(GlobalStack(), nullptr);
  RemoveStackUser();
}

TEST_F(IdStackLifetimeTest, UsersOnManyThreadsShareOneStack) {
  AddStackUser();
  TIdStack* stack = GlobalStack();
  std::atomic<int> sawOtherStack{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        AddStackUser();
        if (GlobalStack() != stack) ++sawOtherStack;
        RemoveStackUser();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(sawOtherStack, 0);
  EXPECT_EQ(StackUserCount(), 1);
  EXPECT_EQ(GlobalStack(), stack);
  RemoveStackUser();
  EXPECT_EQ(GlobalStack(), nullptr);
}

TEST_F(IdStackLifetimeTest, SocketCallsAfterCleanUpRaiseTheStubErrorNamingTheFunction) {
  AddStackUser();
  TIdStack* stack = GlobalStack();
  ASSERT_EQ(winsock::WSACleanup(), 0);
  const struct {
    const char* function;
    std::function<void()> call;
  } calls[] = {
      {"socket", [&] { stack->SockOpen(winsock::AF_INET, winsock::SOCK_STREAM, 0); }},
      {"gethostbyname", [&] { stack->SockHostByName("localhost"); }},
  };
  for (const auto& c : calls) {
    try {
      c.call();
      ADD_FAILURE() << c.function << ": nothing raised";
    } catch (const EIdWS2StubError& e) {
      const std::string heading =
          std::string("Error on call Winsock2 library function ") + c.function;
      EXPECT_EQ(e.Heading(), heading);
      EXPECT_EQ(e.SystemErrorCode(), 10093u);
      EXPECT_FALSE(e.SystemErrorText().empty());
      EXPECT_EQ(e.Message(), heading + ": " + e.SystemErrorText());
    }
  }
  winsock::WSAData data{};
  ASSERT_EQ(winsock::WSAStartup(winsock::MakeWord(2, 2), &data), 0);  // restore for the exit
  RemoveStackUser();
}

// Set by a user that is still running when the process exits, as a peer thread cleaning up is.
std::atomic<bool> gUserStillRunning{false};

class ExitProbeStack : public TIdStackWindows {
 public:
  ~ExitProbeStack() override {
    if (gUserStillRunning) ::_exit(3);  // freed under a user that still runs
  }
};

TEST_F(IdStackLifetimeTest, OutlivesAUserStillRunningAtProcessExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetStackClass(
            []() -> std::unique_ptr<TIdStack> { return std::make_unique<ExitProbeStack>(); });
        std::thread([] {
          AddStackUser();
          gUserStillRunning = true;
          for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }).detach();
        while (!gUserStillRunning)
          std::this_thread::yield();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
