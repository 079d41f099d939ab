#include "platform/SocketTable.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "DetachedCall.h"
#include "support/RawClient.h"

namespace {

using test::RunDetached;
using winsock::detail::SocketEntry;
using winsock::detail::SocketTable;
using winsock::detail::WaitResult;

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// A connected pair of local stream sockets: [0] for the entry, [1] to drive it.
struct LocalPair {
  int fds[2] = {-1, -1};
  LocalPair() { EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds)); }
  ~LocalPair() { ::close(fds[1]); }  // fds[0] belongs to the entry
};

TEST(SocketTable, NumbersAreNeverHandedOutTwice) {
  SocketTable table(5, 7);
  auto a = table.Add(std::make_shared<SocketEntry>(-1, true));
  auto b = table.Add(std::make_shared<SocketEntry>(-1, true));
  EXPECT_EQ(5, a);
  EXPECT_EQ(6, b);
  ASSERT_NE(nullptr, table.Remove(a));
  EXPECT_EQ(nullptr, table.Find(a));
  EXPECT_EQ(nullptr, table.Remove(a)) << "a second close finds nothing";
  EXPECT_EQ(7, table.Add(std::make_shared<SocketEntry>(-1, true)));
  EXPECT_EQ(-1, table.Add(std::make_shared<SocketEntry>(-1, true))) << "numbers exhausted";
  EXPECT_EQ(2u, table.Count());
  EXPECT_NE(nullptr, table.Find(b));
}

TEST(SocketTable, DescriptorOutlivesRemovalWhileInUse) {
  SocketTable table;
  LocalPair pair;
  const int fd = pair.fds[0];
  auto number = table.Add(std::make_shared<SocketEntry>(fd, true));
  auto inUse = table.Find(number);  // a call in progress

  auto removed = table.Remove(number);
  ASSERT_NE(nullptr, removed);
  EXPECT_TRUE(removed->Closed());
  removed.reset();
  EXPECT_TRUE(IsOpen(fd)) << "closed under a running call";
  inUse.reset();
  EXPECT_FALSE(IsOpen(fd)) << "the last user closes it";
}

TEST(SocketTable, ExhaustedNumbersDropTheEntry) {
  SocketTable table(1, 0);
  LocalPair pair;
  EXPECT_EQ(-1, table.Add(std::make_shared<SocketEntry>(pair.fds[0], true)));
  EXPECT_FALSE(IsOpen(pair.fds[0]));
}

TEST(SocketTable, RemoveAllClosesEverything) {
  SocketTable table;
  auto first = table.Add(std::make_shared<SocketEntry>(-1, true));
  auto kept = table.Find(first);
  table.Add(std::make_shared<SocketEntry>(-1, false));
  EXPECT_EQ(2u, table.RemoveAll().size());
  EXPECT_EQ(0u, table.Count());
  EXPECT_TRUE(kept->Closed());
}

class SocketEntryWait : public ::testing::Test {
 protected:
  LocalPair pair_;
  std::shared_ptr<SocketEntry> entry_ = std::make_shared<SocketEntry>(pair_.fds[0], true);
};

TEST_F(SocketEntryWait, ReportsReadinessAndTimeOut) {
  int error = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitResult::TimedOut, entry_->Wait(POLLIN, 60, &error));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
  ASSERT_EQ(1, ::write(pair_.fds[1], "x", 1));
  EXPECT_EQ(WaitResult::Ready, entry_->Wait(POLLIN, 0, &error));
}

TEST_F(SocketEntryWait, CloseWakesAWaiterAndLaterWaitsReturnAtOnce) {
  auto waiting = RunDetached([entry = entry_] {
    int error = 0;
    return entry->Wait(POLLIN, 0, &error);
  });
  // Whether the close lands before or during the wait, the waiter must come back.
  entry_->MarkClosed();
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(WaitResult::Closed, waiting.get());
  int error = 0;
  EXPECT_EQ(WaitResult::Closed, entry_->Wait(POLLIN, 0, &error));
}

TEST_F(SocketEntryWait, CloseWakesWithoutAnyDescriptorToSpare) {
  // Lower the descriptor limit to the lowest free number, so that no new descriptor can be made
  // while the wait begins and the close comes. The waiter ends only once the limit is back: a
  // sanitizer runtime may need descriptors as a thread ends.
  rlimit original{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &original));
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit tight = original;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  struct Shared {
    std::atomic<bool> started{false};
    std::atomic<int> result{-1};
    std::atomic<bool> limitBack{false};
  };
  auto shared = std::make_shared<Shared>();
  auto waiting = RunDetached([entry = entry_, shared] {
    shared->started = true;
    int error = 0;
    shared->result = static_cast<int>(entry->Wait(POLLIN, 0, &error));
    while (!shared->limitBack)
      std::this_thread::yield();
    return 0;
  });
  while (!shared->started)
    std::this_thread::yield();
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool blocked = shared->result == -1;
  entry_->MarkClosed();
  for (int i = 0; i < 5000 && shared->result == -1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int result = shared->result;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &original));
  shared->limitBack = true;
  EXPECT_TRUE(blocked);
  EXPECT_EQ(static_cast<int>(WaitResult::Closed), result);
  EXPECT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
}

// Whatever a wait needs, it is not a descriptor: each socket costs exactly its own.
TEST_F(SocketEntryWait, WaitingOpensNoDescriptor) {
  const int before = test::SteadyDescriptorCount();
  std::atomic<bool> started{false};
  auto waiting = RunDetached([entry = entry_, &started] {
    started = true;
    int error = 0;
    return entry->Wait(POLLIN, 0, &error);
  });
  while (!started)
    std::this_thread::yield();
  ASSERT_NE(std::future_status::ready, waiting.wait_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(before, test::SteadyDescriptorCount());
  entry_->MarkClosed();
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
}

}  // namespace
