#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "WinSockTestSupport.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"

namespace test {
namespace {

using namespace winsock;

std::string FirstAddress(const hostent* host) {
  if (!host || !host->h_addr_list || !host->h_addr_list[0]) return "";
  in_addr address;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  return inet_ntoa(address);
}

class WinSockLookup : public WinSockTest {};

TEST_F(WinSockLookup, ResolvesLoopbackFromManyThreadsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 100;
  std::latch ready(kThreads);
  std::vector<std::string> failures(kThreads);
  std::vector<const void*> storage(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.arrive_and_wait();
      for (int round = 0; round < kRounds && failures[t].empty(); ++round) {
        const char* name = (round + t) % 2 ? "localhost" : "127.0.0.1";
        hostent* host = gethostbyname(name);
        if (!host) {
          failures[t] = std::string(name) + " failed with " + std::to_string(WSAGetLastError());
          break;
        }
        storage[t] = host;
        if (host->h_addrtype != AF_INET || host->h_length != 4 ||
            FirstAddress(host) != "127.0.0.1" || host->h_addr_list[1] != nullptr)
          failures[t] = std::string(name) + " gave " + FirstAddress(host);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ("", failures[t]) << "thread " << t;
  EXPECT_EQ(static_cast<std::size_t>(kThreads),
            std::set<const void*>(storage.begin(), storage.end()).size())
      << "each thread has its own result";
}

TEST_F(WinSockLookup, NamesTheSameAddressesAsTheResolver) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"127.0.0.1", "127.0.0.1"},
      {"10.20.30.40", "10.20.30.40"},  // taken as it is, never sent to a resolver
      {"LocalHost", "127.0.0.1"},
      {"localhost.", "127.0.0.1"},
  };
  for (const auto& [name, expected] : cases) {
    hostent* host = gethostbyname(name);
    ASSERT_NE(nullptr, host) << name << ": " << WSAGetLastError();
    EXPECT_EQ(expected, FirstAddress(host)) << name;
  }
  EXPECT_STREQ("10.20.30.40", gethostbyname("10.20.30.40")->h_name);
}

TEST_F(WinSockLookup, UnknownHostIsHostNotFound) {
  for (const char* name : {"no-such-host.invalid", "deep.er.example.INVALID", "invalid"}) {
    WSASetLastError(0);
    EXPECT_EQ(nullptr, gethostbyname(name)) << name;
    EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError()) << name;
  }
}

TEST_F(WinSockLookup, ReverseLooksUpLoopback) {
  const u_long loopback = htonl(INADDR_LOOPBACK);
  hostent* host = gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, AF_INET);
  ASSERT_NE(nullptr, host) << WSAGetLastError();
  EXPECT_NE(std::string(), host->h_name);
  EXPECT_EQ("127.0.0.1", FirstAddress(host));

  EXPECT_EQ(nullptr, gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, 23));
  EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());
}

TEST_F(WinSockLookup, HostNameMatchesTheSystem) {
  char expected[256] = {};
  ASSERT_EQ(0, ::gethostname(expected, sizeof expected - 1));
  char name[256] = {};
  ASSERT_EQ(0, winsock::gethostname(name, sizeof name));
  EXPECT_STREQ(expected, name);
  EXPECT_EQ(SOCKET_ERROR, winsock::gethostname(name, static_cast<int>(std::strlen(expected))))
      << "no room for the terminating zero";
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(WinSockLookup, ServicesByNameAndPort) {
  if (::access("/etc/services", R_OK) != 0) GTEST_SKIP() << "no service database";
  servent* byName = getservbyname("http", "tcp");
  ASSERT_NE(nullptr, byName) << WSAGetLastError();
  EXPECT_EQ(htons(80), static_cast<u_short>(byName->s_port));
  EXPECT_STREQ("tcp", byName->s_proto);

  servent* byPort = getservbyport(htons(80), "tcp");
  ASSERT_NE(nullptr, byPort) << WSAGetLastError();
  EXPECT_STREQ("http", byPort->s_name);

  EXPECT_EQ(nullptr, getservbyname("no-such-service-here", nullptr));
  EXPECT_EQ(WSANO_DATA, WSAGetLastError());
}

TEST(WinSockAddressText, InetAddrTakesTheClassicForms) {
  const std::vector<std::pair<const char*, const char*>> valid = {
      {"1.2.3.4", "1.2.3.4"},   {"0.0.0.0", "0.0.0.0"},        {"127.1", "127.0.0.1"},
      {"10.1.258", "10.1.1.2"}, {"1.65535", "1.0.255.255"},    {"0x7f.0.0.1", "127.0.0.1"},
      {"010.0.0.1", "8.0.0.1"}, {"3232235777", "192.168.1.1"}, {"0XFF.0xff.0.0", "255.255.0.0"},
  };
  for (const auto& [text, expected] : valid) {
    in_addr address{inet_addr(text)};
    EXPECT_STREQ(expected, inet_ntoa(address)) << text;
  }
  const char* invalid[] = {
      "",         "1.2.3.256", "1.2.3.4.5", "a.b.c.d",     "1..2.3",     "1.2.3.",    " 1.2.3.4",
      "1.2.3.4 ", "08.1.1.1",  "0x",        "1.16777216x", "4294967296", "1.2.65536", "-1.2.3.4"};
  for (const char* text : invalid)
    EXPECT_EQ(INADDR_NONE, inet_addr(text)) << text;
  EXPECT_EQ(INADDR_NONE, inet_addr(nullptr));
}

TEST(WinSockAddressText, InetNtoaIsPerThread) {
  in_addr first{inet_addr("1.2.3.4")};
  char* mine = inet_ntoa(first);
  char* theirs = nullptr;
  std::thread other([&] { theirs = inet_ntoa(in_addr{inet_addr("5.6.7.8")}); });
  other.join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ("1.2.3.4", mine);
}

TEST(WinSockByteOrder, NetworkOrderIsBigEndian) {
  const u_short port = htons(0x1234);
  const u_long address = htonl(0x0a0b0c0d);
  unsigned char bytes[4];
  std::memcpy(bytes, &port, 2);
  EXPECT_EQ(0x12, bytes[0]);
  EXPECT_EQ(0x34, bytes[1]);
  std::memcpy(bytes, &address, 4);
  EXPECT_EQ(0x0a, bytes[0]);
  EXPECT_EQ(0x0d, bytes[3]);
  EXPECT_EQ(0x1234, ntohs(port));
  EXPECT_EQ(0x0a0b0c0du, ntohl(address));
}

TEST(WinSockErrors, ErrnoValuesMapToWinSockNumbers) {
  const std::vector<std::pair<int, int>> mapping = {
      {0, 0},
      {EINTR, 10004},
      {EBADF, 10009},
      {EACCES, 10013},
      {EFAULT, 10014},
      {EINVAL, 10022},
      {EMFILE, 10024},
      {ENFILE, 10024},
      {EWOULDBLOCK, 10035},
      {EAGAIN, 10035},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},
      {EPFNOSUPPORT, 10046},
      {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ENETRESET, 10052},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},
      {ETOOMANYREFS, 10059},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {ELOOP, 10062},
      {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},
      {ENOTEMPTY, 10066},
      {EPIPE, 10054},
  };
  for (const auto& [errnoValue, expected] : mapping)
    EXPECT_EQ(expected, detail::ErrorFromErrno(errnoValue)) << std::strerror(errnoValue);
}

}  // namespace
}  // namespace test
