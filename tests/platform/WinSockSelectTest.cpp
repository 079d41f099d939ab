#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "WinSockTestSupport.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"
#include "rtl/Time.h"

namespace test {
namespace {

using namespace winsock;

// Which of one socket's three sets a select with a zero time-out reports it in.
struct Readiness {
  bool read, write, except;
  bool operator==(const Readiness&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Readiness& r) {
  return out << "{read " << r.read << ", write " << r.write << ", except " << r.except << "}";
}

Readiness Probe(SOCKET s, int waitMs = 0) {
  fd_set read, write, except;
  FdZero(&read);
  FdZero(&write);
  FdZero(&except);
  FdSet(s, &read);
  FdSet(s, &write);
  FdSet(s, &except);
  timeval timeout{waitMs / 1000, (waitMs % 1000) * 1000};
  int count = select(0, &read, &write, &except, &timeout);
  EXPECT_NE(SOCKET_ERROR, count) << WSAGetLastError();
  Readiness r{FdIsSet(s, &read), FdIsSet(s, &write), FdIsSet(s, &except)};
  EXPECT_EQ(count, int{r.read} + int{r.write} + int{r.except});
  return r;
}

// Waits (bounded) until select reports the socket readable, for events that cross the loopback.
Readiness ProbeWhenReadable(SOCKET s) {
  fd_set read;
  FdZero(&read);
  FdSet(s, &read);
  timeval timeout{5, 0};
  EXPECT_EQ(1, select(0, &read, nullptr, nullptr, &timeout));
  return Probe(s);
}

class WinSockSelect : public WinSockTest {};

TEST_F(WinSockSelect, ReportsReadinessAsWinSockDoes) {
  SOCKET fresh = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ((Readiness{false, false, false}), Probe(fresh, 20)) << "never connected";

  SOCKET listener = MakeListener();
  EXPECT_EQ((Readiness{false, false, false}), Probe(listener)) << "idle listener";
  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(LocalPort(listener));
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ((Readiness{true, false, false}), ProbeWhenReadable(listener)) << "connection pending";
  SOCKET server = accept(listener, nullptr, nullptr);

  EXPECT_EQ((Readiness{false, true, false}), Probe(client)) << "connected, idle";
  ASSERT_EQ(3, send(server, "abc", 3, 0));
  EXPECT_EQ((Readiness{true, true, false}), ProbeWhenReadable(client)) << "data waiting";
  char buffer[8];
  ASSERT_EQ(3, recv(client, buffer, sizeof buffer, 0));

  ASSERT_EQ(1, send(server, "!", 1, MSG_OOB));
  fd_set except;
  FdZero(&except);
  FdSet(client, &except);
  timeval timeout{5, 0};
  EXPECT_EQ(1, select(0, nullptr, nullptr, &except, &timeout)) << "urgent data";
  EXPECT_TRUE(FdIsSet(client, &except));
  ASSERT_EQ(1, recv(client, buffer, 1, MSG_OOB));
  EXPECT_EQ('!', buffer[0]);

  closesocket(server);
  EXPECT_EQ((Readiness{true, true, false}), ProbeWhenReadable(client)) << "peer closed";
  EXPECT_EQ(0, recv(client, buffer, sizeof buffer, 0));
}

TEST_F(WinSockSelect, LeavesOnlyReadySocketsInTheSets) {
  std::vector<Pair> pairs(3);
  for (Pair& pair : pairs)
    pair = ConnectedPair();
  ASSERT_EQ(1, send(pairs[1].server, "x", 1, 0));

  fd_set read, write;
  FdZero(&read);
  FdZero(&write);
  for (Pair& pair : pairs)
    FdSet(pair.client, &read);
  FdSet(pairs[2].client, &write);
  timeval timeout{5, 0};
  EXPECT_EQ(2, select(0, &read, &write, nullptr, &timeout));
  ASSERT_EQ(1u, read.fd_count);
  EXPECT_EQ(pairs[1].client, read.fd_array[0]);
  ASSERT_EQ(1u, write.fd_count);
  EXPECT_EQ(pairs[2].client, write.fd_array[0]);
}

TEST_F(WinSockSelect, TimesOutWithEmptySets) {
  Pair pair = ConnectedPair();
  for (int waitMs : {0, 150}) {
    fd_set read;
    FdZero(&read);
    FdSet(pair.client, &read);
    timeval timeout{0, waitMs * 1000};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, select(0, &read, nullptr, nullptr, &timeout)) << waitMs;
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0u, read.fd_count);
    EXPECT_GE(waited, std::chrono::milliseconds(waitMs) - std::chrono::milliseconds(5)) << waitMs;
    EXPECT_LT(waited, std::chrono::milliseconds(waitMs) + std::chrono::seconds(2)) << waitMs;
  }
}

TEST_F(WinSockSelect, NullTimeoutWaitsUntilReady) {
  Pair pair = ConnectedPair();
  auto threadId = std::make_shared<std::atomic<std::uint32_t>>(0);
  auto waiting = RunDetached([threadId, s = pair.client] {
    *threadId = rtl::GetCurrentThreadId();
    fd_set read;
    FdZero(&read);
    FdSet(s, &read);
    return select(0, &read, nullptr, nullptr, nullptr);
  });
  while (*threadId == 0)
    std::this_thread::yield();
  ASSERT_TRUE(WaitUntilSleeping(*threadId));
  EXPECT_NE(std::future_status::ready, waiting.wait_for(std::chrono::milliseconds(0)));
  ASSERT_EQ(1, send(pair.server, "x", 1, 0));
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(1, waiting.get());
}

TEST_F(WinSockSelect, RefusesBadSets) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  SOCKET gone = socket(AF_INET, SOCK_STREAM, 0);
  closesocket(gone);
  timeval zero{0, 0};

  fd_set withGone;
  FdZero(&withGone);
  FdSet(s, &withGone);
  FdSet(gone, &withGone);
  fd_set empty;
  FdZero(&empty);
  fd_set overfull;
  FdZero(&overfull);
  overfull.fd_count = FDSET_SIZE + 1;
  const std::vector<std::tuple<const char*, fd_set*, int>> cases = {
      {"closed socket", &withGone, WSAENOTSOCK},
      {"nothing to wait on", &empty, WSAEINVAL},
      {"count beyond the set", &overfull, WSAEINVAL},
  };
  for (const auto& [name, set, error] : cases) {
    const u_int before = set->fd_count;
    EXPECT_EQ(SOCKET_ERROR, select(0, set, nullptr, nullptr, &zero)) << name;
    EXPECT_EQ(error, WSAGetLastError()) << name;
    EXPECT_EQ(before, set->fd_count) << name << ": a failed select leaves the set alone";
  }
}

TEST_F(WinSockSelect, WorksForDescriptorsAbove1023) {
  constexpr int kSockets = 1100;
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  const rlimit original = limit;
  if (limit.rlim_cur < kSockets + 200) {
    if (limit.rlim_max < kSockets + 200) GTEST_SKIP() << "descriptor limit too low";
    limit.rlim_cur = kSockets + 200;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  }

  std::vector<SOCKET> filler;
  for (int i = 0; i < kSockets; ++i) {
    filler.push_back(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_NE(INVALID_SOCKET, filler.back()) << i << ": " << WSAGetLastError();
  }
  Pair pair = ConnectedPair();
  EXPECT_GT(detail::Sockets().Find(pair.client)->Descriptor(), 1023);

  fd_set read;
  FdZero(&read);
  FdSet(pair.client, &read);
  timeval zero{0, 0};
  EXPECT_EQ(0, select(0, &read, nullptr, nullptr, &zero));
  ASSERT_EQ(5, send(pair.server, "hello", 5, 0));
  FdSet(pair.client, &read);
  timeval wait{5, 0};
  EXPECT_EQ(1, select(0, &read, nullptr, nullptr, &wait));
  EXPECT_TRUE(FdIsSet(pair.client, &read));

  for (SOCKET s : filler)
    closesocket(s);
  closesocket(pair.client);
  closesocket(pair.server);
  setrlimit(RLIMIT_NOFILE, &original);
}

TEST(WinSockFdSet, KeepsEachSocketOnceAndWithinTheSlots) {
  fd_set set;
  FdZero(&set);
  FdSet(5, &set);
  FdSet(6, &set);
  FdSet(5, &set);
  EXPECT_EQ(2u, set.fd_count);
  for (SOCKET s = 100; s < 200; ++s)
    FdSet(s, &set);
  EXPECT_EQ(static_cast<u_int>(FDSET_SIZE), set.fd_count) << "a full set ignores more";
  EXPECT_TRUE(FdIsSet(6, &set));
  EXPECT_FALSE(FdIsSet(199, &set));

  FdClr(6, &set);
  EXPECT_FALSE(FdIsSet(6, &set));
  EXPECT_EQ(static_cast<u_int>(FDSET_SIZE - 1), set.fd_count);
  EXPECT_EQ(5, set.fd_array[0]);
  EXPECT_EQ(100, set.fd_array[1]) << "order kept";
}

}  // namespace
}  // namespace test
