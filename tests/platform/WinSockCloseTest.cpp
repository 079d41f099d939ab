// closesocket from one thread while another is blocked on the same socket.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "WinSockTestSupport.h"
#include "platform/WinSock2.h"
#include "rtl/Time.h"
#include "support/RawClient.h"

namespace test {
namespace {

using namespace winsock;

// The socket a call blocks on, and the call (which returns SOCKET_ERROR on failure).
struct Blocker {
  SOCKET target = INVALID_SOCKET;
  std::function<int()> call;
};

struct BlockingCase {
  const char* name;
  Blocker (*prepare)();
};

void PrintTo(const BlockingCase& blockingCase, std::ostream* out) {
  *out << blockingCase.name;
}

Blocker BlockInRecv() {
  Pair pair = ConnectedPair();
  return {pair.client, [s = pair.client] {
            char buffer[16];
            return recv(s, buffer, sizeof buffer, 0);
          }};
}

Blocker BlockInAccept() {
  SOCKET listener = MakeListener();
  return {listener, [listener] { return static_cast<int>(accept(listener, nullptr, nullptr)); }};
}

Blocker BlockInSelect() {
  Pair pair = ConnectedPair();
  return {pair.client, [s = pair.client] {
            fd_set read;
            FdZero(&read);
            FdSet(s, &read);
            return select(0, &read, nullptr, nullptr, nullptr);
          }};
}

Blocker BlockInSend() {
  // The peer never reads, so the buffers fill and the send waits for room.
  Pair pair = ConnectedPair();
  return {pair.client, [s = pair.client] {
            const std::string data(64 << 20, 'x');
            return send(s, data.data(), static_cast<int>(data.size()), 0);
          }};
}

Blocker BlockInConnect() {
  // A listener whose queue is full drops further handshakes, so the next connect waits. With a
  // backlog of 0 the queue holds one connection.
  SOCKET listener = MakeListener(0);
  sockaddr_in address = Loopback(LocalPort(listener));
  SOCKET filler = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(0, connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address));
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  return {s, [s, address] {
            return connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
          }};
}

class CloseFromAnotherThread : public WinSockTest,
                               public ::testing::WithParamInterface<BlockingCase> {};

TEST_P(CloseFromAnotherThread, EndsTheBlockedCallAndRetiresTheNumber) {
  Blocker blocker = GetParam().prepare();
  ASSERT_NE(INVALID_SOCKET, blocker.target);

  const int descriptorsBefore = test::SteadyDescriptorCount();
  auto threadId = std::make_shared<std::atomic<std::uint32_t>>(0);
  auto finished = RunDetached([threadId, call = blocker.call] {
    *threadId = rtl::GetCurrentThreadId();
    const int result = call();
    return std::pair{result, WSAGetLastError()};
  });
  while (*threadId == 0)
    std::this_thread::yield();
  ASSERT_TRUE(WaitUntilSleeping(*threadId)) << "the call never blocked";
  ASSERT_NE(std::future_status::ready, finished.wait_for(std::chrono::seconds(0)));
  EXPECT_EQ(descriptorsBefore, test::SteadyDescriptorCount())
      << "a blocked call holds no descriptor beyond its socket's";

  ASSERT_EQ(0, closesocket(blocker.target));
  ASSERT_EQ(std::future_status::ready, finished.wait_for(std::chrono::seconds(5)))
      << "the blocked call did not end after closesocket";
  const auto [result, error] = finished.get();
  EXPECT_EQ(SOCKET_ERROR, result);
  EXPECT_EQ(WSAEINTR, error);

  WSASetLastError(0);
  EXPECT_EQ(SOCKET_ERROR, blocker.call()) << "the number is retired";
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

INSTANTIATE_TEST_SUITE_P(BlockingCalls, CloseFromAnotherThread,
                         ::testing::Values(BlockingCase{"Recv", BlockInRecv},
                                           BlockingCase{"Accept", BlockInAccept},
                                           BlockingCase{"Select", BlockInSelect},
                                           BlockingCase{"Send", BlockInSend},
                                           BlockingCase{"Connect", BlockInConnect}),
                         [](const auto& instance) { return std::string(instance.param.name); });

class CloseWhileManyWait : public WinSockTest {};

// Several threads in different calls on one socket all come back, whatever the interleaving.
TEST_F(CloseWhileManyWait, EveryWaiterEnds) {
  for (int round = 0; round < 20; ++round) {
    Pair pair = ConnectedPair();
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 4; ++i) {
      calls.push_back(RunDetached([s = pair.client, i] {
        char buffer[8];
        if (i % 2 == 0) return recv(s, buffer, sizeof buffer, 0);
        fd_set read;
        FdZero(&read);
        FdSet(s, &read);
        return select(0, &read, nullptr, nullptr, nullptr);
      }));
    }
    ASSERT_EQ(0, closesocket(pair.client));
    for (auto& call : calls) {
      ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5))) << round;
      EXPECT_EQ(SOCKET_ERROR, call.get());
    }
  }
}

}  // namespace
}  // namespace test
