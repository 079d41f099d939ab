#include "platform/WinSock2.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

#include "WinSockTestSupport.h"
#include "platform/WinSockInternal.h"
#include "support/Pattern.h"

namespace test {
namespace {

using namespace winsock;

// The start-up count is process-wide; every fixture here balances its own, so it is zero now.
TEST(WinSockStartup, CallsBeforeStartupFailWithNotInitialised) {
  char byte = 0;
  fd_set set{};
  FdSet(0x100, &set);
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"socket", [] { return socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET; }},
      {"recv", [&] { return recv(0x100, &byte, 1, 0) == SOCKET_ERROR; }},
      {"closesocket", [] { return closesocket(0x100) == SOCKET_ERROR; }},
      {"select", [&] { return select(0, &set, nullptr, nullptr, nullptr) == SOCKET_ERROR; }},
      {"gethostbyname", [] { return gethostbyname("localhost") == nullptr; }},
      {"getservbyname", [] { return getservbyname("http", "tcp") == nullptr; }},
      {"TransmitFile", [] { return !TransmitFile(0x100, 0); }},
      {"WSACleanup", [] { return WSACleanup() == SOCKET_ERROR; }},
  };
  for (const auto& [name, call] : calls) {
    WSASetLastError(0);
    EXPECT_TRUE(call()) << name;
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError()) << name;
  }
}

TEST(WinSockStartup, IsCountedAndTheLastCleanupClosesSockets) {
  WSAData data{};
  EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MakeWord(1, 1), &data));
  EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0)) << "a refused start-up counts";
  EXPECT_EQ(WSAEFAULT, WSAStartup(MakeWord(2, 2), nullptr));

  ASSERT_EQ(0, WSAStartup(MakeWord(2, 2), &data));
  EXPECT_EQ(MakeWord(2, 2), data.wVersion);
  ASSERT_EQ(0, WSAStartup(MakeWord(2, 0), &data));
  EXPECT_EQ(MakeWord(2, 0), data.wVersion);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, s);

  ASSERT_EQ(0, WSACleanup());
  int type = 0, length = sizeof type;
  EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length))
      << "one start-up is still in force";
  ASSERT_EQ(0, WSACleanup());
  EXPECT_EQ(SOCKET_ERROR,
            getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());

  ASSERT_EQ(0, WSAStartup(MakeWord(2, 2), &data));
  EXPECT_EQ(SOCKET_ERROR,
            getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError()) << "the last clean-up closed it";
  EXPECT_EQ(0u, detail::Sockets().Count());
  ASSERT_EQ(0, WSACleanup());
}

class WinSockBasics : public WinSockTest {};

TEST_F(WinSockBasics, LastErrorBelongsToEachThread) {
  WSASetLastError(4242);
  std::latch bothFailed(2);
  int seenA = 0, seenB = 0;
  std::thread a([&] {
    char byte;
    recv(0x7fff0000, &byte, 1, 0);  // never handed out
    bothFailed.arrive_and_wait();
    seenA = WSAGetLastError();
  });
  std::thread b([&] {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    address.sin_family = 23;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    bothFailed.arrive_and_wait();
    seenB = WSAGetLastError();
  });
  a.join();
  b.join();
  EXPECT_EQ(WSAENOTSOCK, seenA);
  EXPECT_EQ(WSAEAFNOSUPPORT, seenB);
  EXPECT_EQ(4242, WSAGetLastError());
}

TEST_F(WinSockBasics, EchoesOverLoopback) {
  SOCKET listener = MakeListener();
  const std::uint16_t port = LocalPort(listener);
  std::thread server([&] {
    sockaddr_in peer{};
    int peerLength = sizeof peer;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    ASSERT_NE(INVALID_SOCKET, s) << WSAGetLastError();
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
    EXPECT_EQ(static_cast<int>(sizeof peer), peerLength);
    char buffer[4096];
    for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
      ASSERT_EQ(n, send(s, buffer, n, 0)) << WSAGetLastError();
    closesocket(s);
  });

  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = Loopback(port);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address))
      << WSAGetLastError();
  sockaddr_in peer{};
  int peerLength = sizeof peer;
  ASSERT_EQ(0, getpeername(client, reinterpret_cast<sockaddr*>(&peer), &peerLength));
  EXPECT_EQ(htons(port), peer.sin_port);
  EXPECT_EQ(AF_INET, peer.sin_family);

  for (std::size_t size : {std::size_t{1}, std::size_t{1000}, std::size_t{3} << 20}) {
    const std::string message = test::Pattern(0, static_cast<std::int64_t>(size));
    // Read while sending: the echo of a large message cannot all wait in the buffers.
    auto echoed = RunDetached([client, size] { return ReceiveExactly(client, size); });
    ASSERT_EQ(static_cast<int>(size), send(client, message.data(), static_cast<int>(size), 0));
    ASSERT_EQ(std::future_status::ready, echoed.wait_for(std::chrono::seconds(20))) << size;
    EXPECT_TRUE(message == echoed.get()) << size;
  }
  ASSERT_EQ(0, shutdown(client, SD_SEND));
  char byte;
  EXPECT_EQ(0, recv(client, &byte, 1, 0)) << "the server closes once it sees the end";
  server.join();
}

TEST_F(WinSockBasics, BlockingSendDeliversEverythingThroughASmallBuffer) {
  // The kernel takes a few kilobytes at a time; the one send call must go on until all is out.
  Pair pair = ConnectedPair();
  int small = 4096;
  ASSERT_EQ(0, setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small), 4));
  const std::string message = test::Pattern(3, 2 << 20);
  auto received = RunDetached([s = pair.server] { return ReceiveAll(s); });
  EXPECT_EQ(static_cast<int>(message.size()),
            send(pair.client, message.data(), static_cast<int>(message.size()), 0));
  shutdown(pair.client, SD_SEND);
  ASSERT_EQ(std::future_status::ready, received.wait_for(std::chrono::seconds(20)));
  EXPECT_TRUE(message == received.get());
}

TEST_F(WinSockBasics, RefusedConnectReportsTheWinSockNumber) {
  SOCKET listener = MakeListener();
  const std::uint16_t port = LocalPort(listener);
  closesocket(listener);
  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  EXPECT_EQ(SOCKET_ERROR, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
}

TEST_F(WinSockBasics, ClosedNumberNeverReachesTheDescriptorThatReplacedIt) {
  SOCKET old = socket(AF_INET, SOCK_STREAM, 0);
  const int oldDescriptor = detail::Sockets().Find(old)->Descriptor();
  ASSERT_EQ(0, closesocket(old));

  SOCKET listener = MakeListener();
  ASSERT_EQ(oldDescriptor, detail::Sockets().Find(listener)->Descriptor())
      << "the kernel should hand the freed descriptor straight out again";
  EXPECT_NE(old, listener);

  sockaddr_in address = Loopback(0);
  int length = sizeof address;
  const std::vector<std::pair<const char*, std::function<int()>>> staleCalls = {
      {"getsockname",
       [&] { return getsockname(old, reinterpret_cast<sockaddr*>(&address), &length); }},
      {"listen", [&] { return listen(old, 1); }},
      {"shutdown", [&] { return shutdown(old, SD_BOTH); }},
      {"closesocket", [&] { return closesocket(old); }},
      {"accept", [&] { return static_cast<int>(accept(old, nullptr, nullptr)); }},
  };
  for (const auto& [name, call] : staleCalls) {
    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, call()) << name;
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError()) << name;
  }

  // The new socket was left alone: still listening, still accepting.
  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in target = Loopback(LocalPort(listener));
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target));
  EXPECT_NE(INVALID_SOCKET, accept(listener, nullptr, nullptr)) << WSAGetLastError();
}

// Sockets must not leak into programs this one starts: created and accepted ones close on exec.
TEST_F(WinSockBasics, DescriptorsCloseOnExec) {
  Pair pair = ConnectedPair();
  for (SOCKET s : {pair.client, pair.server}) {
    std::ifstream info("/proc/self/fdinfo/" +
                       std::to_string(detail::Sockets().Find(s)->Descriptor()));
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    ASSERT_EQ("flags:", key);
    EXPECT_NE(0, std::stoi(flags, nullptr, 8) & 02000000) << flags;  // O_CLOEXEC
  }
}

TEST_F(WinSockBasics, BadArgumentsFailWithTheWinSockNumbers) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  char byte = 0;
  const std::vector<std::tuple<const char*, std::function<int()>, int>> cases = {
      {"socket family", [] { return static_cast<int>(socket(17, SOCK_STREAM, 0)); },  // NetBIOS
       WSAEAFNOSUPPORT},
      {"socket type", [] { return static_cast<int>(socket(AF_INET, 9, 0)); }, WSAESOCKTNOSUPPORT},
      {"socket protocol", [] { return static_cast<int>(socket(AF_INET, SOCK_STREAM, 99)); },
       WSAEPROTONOSUPPORT},
      {"short address", [&] { return bind(s, reinterpret_cast<sockaddr*>(&address), 8); },
       WSAEFAULT},
      {"null address", [&] { return connect(s, nullptr, sizeof address); }, WSAEFAULT},
      {"shutdown how", [&] { return shutdown(s, 7); }, WSAEINVAL},
      {"recv unconnected", [&] { return recv(s, &byte, 1, 0); }, WSAENOTCONN},
      {"recv flags", [&] { return recv(s, &byte, 1, 0x1000); }, WSAEOPNOTSUPP},
      {"accept not listening", [&] { return static_cast<int>(accept(s, nullptr, nullptr)); },
       WSAEINVAL},
  };
  for (const auto& [name, call, error] : cases) {
    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, call()) << name;
    EXPECT_EQ(error, WSAGetLastError()) << name;
  }
}

class WinSockOptions : public WinSockTest {};

TEST_F(WinSockOptions, BooleanOptionsRoundTrip) {
  SOCKET tcp = socket(AF_INET, SOCK_STREAM, 0);
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  const std::vector<std::tuple<const char*, SOCKET, int, int>> options = {
      {"SO_REUSEADDR", tcp, SOL_SOCKET, SO_REUSEADDR},
      {"SO_KEEPALIVE", tcp, SOL_SOCKET, SO_KEEPALIVE},
      {"SO_OOBINLINE", tcp, SOL_SOCKET, SO_OOBINLINE},
      {"SO_BROADCAST", udp, SOL_SOCKET, SO_BROADCAST},
      {"TCP_NODELAY", tcp, IPPROTO_TCP, TCP_NODELAY},
  };
  for (const auto& [name, s, level, option] : options) {
    for (int wanted : {1, 0}) {
      int value = wanted ? 7 : 0;  // any non-zero value means true
      ASSERT_EQ(0, setsockopt(s, level, option, reinterpret_cast<char*>(&value), sizeof value))
          << name << " " << WSAGetLastError();
      int read = -1, length = sizeof read;
      ASSERT_EQ(0, getsockopt(s, level, option, reinterpret_cast<char*>(&read), &length)) << name;
      EXPECT_EQ(wanted, read) << name;
      EXPECT_EQ(static_cast<int>(sizeof read), length) << name;
    }
  }
}

TEST_F(WinSockOptions, StructuredAndReadOnlyOptions) {
  SOCKET tcp = socket(AF_INET, SOCK_STREAM, 0);
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);

  linger set{1, 7};
  ASSERT_EQ(0, setsockopt(tcp, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&set), sizeof set));
  linger got{};
  int length = sizeof got;
  ASSERT_EQ(0, getsockopt(tcp, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&got), &length));
  EXPECT_EQ(1, got.l_onoff);
  EXPECT_EQ(7, got.l_linger);
  EXPECT_EQ(4, length);

  std::uint32_t timeout = 1234, readBack = 0;
  length = sizeof readBack;
  ASSERT_EQ(0, setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), 4));
  ASSERT_EQ(0,
            getsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&readBack), &length));
  EXPECT_EQ(1234u, readBack);

  for (auto [s, expected] : {std::pair{tcp, SOCK_STREAM}, std::pair{udp, SOCK_DGRAM}}) {
    int type = 0;
    length = sizeof type;
    ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
    EXPECT_EQ(expected, type);
  }

  int value = 1;
  const std::vector<std::tuple<const char*, int, int, int, int>> refused = {
      {"unknown name", SOL_SOCKET, 0x7777, 4, WSAENOPROTOOPT},
      {"unknown level", 0x1234, SO_REUSEADDR, 4, WSAENOPROTOOPT},
      {"read-only", SOL_SOCKET, SO_TYPE, 4, WSAENOPROTOOPT},
      {"short linger", SOL_SOCKET, SO_LINGER, 2, WSAEFAULT},
  };
  for (const auto& [name, level, option, size, error] : refused) {
    EXPECT_EQ(SOCKET_ERROR, setsockopt(tcp, level, option, reinterpret_cast<char*>(&value), size))
        << name;
    EXPECT_EQ(error, WSAGetLastError()) << name;
  }
  length = 2;
  EXPECT_EQ(SOCKET_ERROR,
            getsockopt(tcp, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &length));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(WinSockOptions, ReceiveTimeoutEndsAnIdleRecv) {
  Pair pair = ConnectedPair();
  std::uint32_t timeout = 150;
  ASSERT_EQ(0,
            setsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), 4));
  const auto start = std::chrono::steady_clock::now();
  auto outcome = RunDetached([s = pair.client] {
    char byte;
    const int result = recv(s, &byte, 1, 0);
    return std::pair{result, WSAGetLastError()};
  });
  ASSERT_EQ(std::future_status::ready, outcome.wait_for(std::chrono::seconds(5)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
  EXPECT_EQ((std::pair{SOCKET_ERROR, WSAETIMEDOUT}), outcome.get());
}

TEST_F(WinSockOptions, SocketErrorReportsAWinSockNumber) {
  // A datagram to a closed port comes back as "refused", pending on the sender.
  SOCKET closed = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = Loopback(0);
  ASSERT_EQ(0, bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof address));
  address = Loopback(LocalPort(closed));
  closesocket(closed);

  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address));
  int error = -1, length = sizeof error;
  ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length));
  EXPECT_EQ(0, error);
  ASSERT_EQ(1, send(s, "x", 1, 0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (error == 0 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length));
    if (error == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(WSAECONNREFUSED, error);
}

class WinSockBrokenPipe : public WinSockTest {
 protected:
  void SetUp() override {
    WinSockTest::SetUp();
    // The default action would end the process; make sure it is the one in force.
    previous_ = ::signal(SIGPIPE, SIG_DFL);
  }
  void TearDown() override {
    ::signal(SIGPIPE, previous_);
    WinSockTest::TearDown();
  }
  // Makes the peer go away, then sends until the failure shows, and once more (the kernel reports
  // the reset once; the next write is the one that would raise the signal). Returns both errors.
  std::pair<int, int> SendUntilFailure(bool reset, const std::function<bool(SOCKET)>& sendOnce) {
    Pair pair = ConnectedPair();
    if (reset) {
      linger abortive{1, 0};
      setsockopt(pair.server, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abortive),
                 sizeof abortive);
    }
    closesocket(pair.server);
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (sendOnce(pair.client)) continue;
      const int first = WSAGetLastError();
      EXPECT_FALSE(sendOnce(pair.client));
      return {first, WSAGetLastError()};
    }
    return {0, 0};
  }

  void (*previous_)(int) = nullptr;
};

TEST_F(WinSockBrokenPipe, SendToAGonePeerFailsWithoutASignal) {
  const std::string chunk(1000, 'x');
  auto sendOnce = [&](SOCKET s) {
    return send(s, chunk.data(), static_cast<int>(chunk.size()), 0) != SOCKET_ERROR;
  };
  const std::pair reset{WSAECONNRESET, WSAECONNRESET};
  EXPECT_EQ(reset, SendUntilFailure(true, sendOnce)) << "peer reset";
  EXPECT_EQ(reset, SendUntilFailure(false, sendOnce)) << "peer closed";
}

TEST_F(WinSockBrokenPipe, TransmitFileToAGonePeerFailsWithoutASignal) {
  FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  const std::string content = test::Pattern(1, 64 * 1024);
  std::fwrite(content.data(), 1, content.size(), file);
  std::fflush(file);
  auto transmitOnce = [&](SOCKET s) { return TransmitFile(s, fileno(file)); };
  const std::pair reset{WSAECONNRESET, WSAECONNRESET};
  EXPECT_EQ(reset, SendUntilFailure(true, transmitOnce));
  EXPECT_EQ(reset, SendUntilFailure(false, transmitOnce));
  std::fclose(file);
}

TEST_F(WinSockBrokenPipe, SendAfterOwnShutdownIsRefused) {
  Pair pair = ConnectedPair();
  ASSERT_EQ(0, shutdown(pair.client, SD_SEND));
  char byte = 'x';
  EXPECT_EQ(SOCKET_ERROR, send(pair.client, &byte, 1, 0));
  EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
  EXPECT_FALSE(TransmitFile(pair.client, 0));
  EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
}

class WinSockTransmitFile : public WinSockTest {};

TEST_F(WinSockTransmitFile, SendsTheWholeFileFromItsStart) {
  FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  const std::string content = test::Pattern(7, (1 << 20) + 17);
  ASSERT_EQ(content.size(), std::fwrite(content.data(), 1, content.size(), file));
  std::fflush(file);  // the position stays at the end: the send must not depend on it

  Pair pair = ConnectedPair();
  int small = 4096;  // so that the kernel takes the file a piece at a time
  ASSERT_EQ(0, setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small), 4));
  std::string received;
  std::thread reader([&] { received = ReceiveAll(pair.server); });
  EXPECT_TRUE(TransmitFile(pair.client, fileno(file))) << WSAGetLastError();
  shutdown(pair.client, SD_SEND);
  reader.join();
  EXPECT_EQ(content.size(), received.size());
  EXPECT_TRUE(content == received);
  std::fclose(file);
}

TEST_F(WinSockTransmitFile, ReportsFailures) {
  Pair pair = ConnectedPair();
  EXPECT_FALSE(TransmitFile(pair.client, -1));
  EXPECT_EQ(WSAEBADF, WSAGetLastError());
  closesocket(pair.client);
  EXPECT_FALSE(TransmitFile(pair.client, 0));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

// Not a benchmark: a round trip through the layer must stay cheap enough that a throttled relay
// never notices it. A wait that fell back to timed slices, say, would blow this bound at once.
TEST_F(WinSockBasics, SmallRoundTripsStayCheap) {
  Pair pair = ConnectedPair();
  const int kRounds = 5000;
  char buffer[32] = {};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(32, send(pair.client, buffer, 32, 0));
    ASSERT_EQ(32, ReceiveExactly(pair.server, 32).size());
    ASSERT_EQ(32, send(pair.server, buffer, 32, 0));
    ASSERT_EQ(32, ReceiveExactly(pair.client, 32).size());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace test
