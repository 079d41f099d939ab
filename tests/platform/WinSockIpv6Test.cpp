// IPv6 sockets, getaddrinfo and getnameinfo, and the address text calls of the WinSock layer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "WinSockTestSupport.h"
#include "platform/PosixSocket.h"
#include "platform/WinSock2.h"

namespace test {
namespace {

using namespace winsock;

class WinSockIpv6Test : public WinSockTest {
 protected:
  void SetUp() override {
    WinSockTest::SetUp();
    if (!posix::Ipv6Usable()) GTEST_SKIP() << "no IPv6 on this machine";
  }
};

sockaddr_in6 Ipv6Loopback(std::uint16_t port) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr.s6_addr[15] = 1;
  return address;
}

template <class Address>
sockaddr* AsAddress(Address& address) {
  return reinterpret_cast<sockaddr*>(&address);
}

TEST_F(WinSockIpv6Test, StreamsOverLoopbackWithIpv6AddressesOnBothEnds) {
  SOCKET listener = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, listener);
  int v6only = 0;
  int length = sizeof v6only;
  ASSERT_EQ(0, getsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only),
                          &length));
  EXPECT_EQ(1, v6only) << "IPv6 sockets start IPv6 only, as on Windows";
  sockaddr_in6 address = Ipv6Loopback(0);
  ASSERT_EQ(0, bind(listener, AsAddress(address), sizeof address));
  ASSERT_EQ(0, listen(listener, 4));
  length = sizeof address;
  ASSERT_EQ(0, getsockname(listener, AsAddress(address), &length));
  EXPECT_EQ(static_cast<int>(sizeof(sockaddr_in6)), length);
  EXPECT_EQ(AF_INET6, address.sin6_family);

  SOCKET client = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, AsAddress(address), sizeof address));
  sockaddr_in6 peer{};
  length = sizeof peer;
  SOCKET served = accept(listener, AsAddress(peer), &length);
  ASSERT_NE(INVALID_SOCKET, served);
  EXPECT_EQ(AF_INET6, peer.sin6_family);
  EXPECT_EQ(0, std::memcmp(&peer.sin6_addr, &address.sin6_addr, sizeof peer.sin6_addr));
  ASSERT_EQ(3, send(client, "abc", 3, 0));
  EXPECT_EQ("abc", ReceiveExactly(served, 3));

  // An address of the other family, or too short for this one, is refused before the kernel.
  sockaddr_in ipv4 = Loopback(0);
  SOCKET other = socket(AF_INET6, SOCK_STREAM, 0);
  EXPECT_EQ(SOCKET_ERROR, bind(other, AsAddress(ipv4), sizeof ipv4));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, bind(other, AsAddress(ipv4), sizeof(sockaddr_in6)));
  EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());
  length = sizeof(sockaddr_in);
  EXPECT_EQ(SOCKET_ERROR, getpeername(client, AsAddress(ipv4), &length));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(WinSockIpv6Test, GetaddrinfoGivesBothFamiliesAndTheWinSockNumbersOfItsFailures) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  ASSERT_EQ(0, getaddrinfo("localhost", "8080", &hints, &found));
  std::vector<std::string> texts;
  for (addrinfo* item = found; item; item = item->ai_next) {
    char host[NI_MAXHOST], service[NI_MAXSERV];
    ASSERT_EQ(0, getnameinfo(item->ai_addr, static_cast<int>(item->ai_addrlen), host, sizeof host,
                             service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV));
    texts.push_back(std::string(host) + " " + service);
  }
  freeaddrinfo(found);
  EXPECT_EQ((std::vector<std::string>{"::1 8080", "127.0.0.1 8080"}), texts);

  hints.ai_family = AF_INET6;
  ASSERT_EQ(0, getaddrinfo("::ffff:127.0.0.1", nullptr, &hints, &found));
  EXPECT_EQ(AF_INET6, found->ai_family);
  EXPECT_EQ(sizeof(sockaddr_in6), found->ai_addrlen);
  freeaddrinfo(found);

  const struct {
    const char* name;
    int family;
    int flags;
    int error;
  } failures[] = {
      {"no.such.host.invalid", AF_UNSPEC, 0, EAI_NONAME},
      {"localhost", 99, 0, EAI_FAMILY},
      {"localhost", AF_UNSPEC, 0x4000, EAI_BADFLAGS},
      {"example.com", AF_UNSPEC, AI_NUMERICHOST, EAI_NONAME},
  };
  for (const auto& c : failures) {
    hints.ai_family = c.family;
    hints.ai_flags = c.flags;
    found = nullptr;
    WSASetLastError(0);
    EXPECT_EQ(c.error, getaddrinfo(c.name, nullptr, &hints, &found)) << c.name;
    EXPECT_EQ(c.error, WSAGetLastError()) << c.name;
    EXPECT_EQ(nullptr, found);
  }
}

TEST(WinSockAddressText, ReadsAndWritesTheStrictFormsOfBothFamilies) {
  const struct {
    int family;
    const char* text;
    const char* written;  // null: not an address of the family
  } cases[] = {
      {AF_INET6, "::1", "::1"},
      {AF_INET6, "2001:DB8:0:0:0:0:2:1", "2001:db8::2:1"},
      {AF_INET6, "::ffff:127.0.0.1", "::ffff:127.0.0.1"},
      {AF_INET6, "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {AF_INET6, "1::2::3", nullptr},
      {AF_INET6, "[::1]", nullptr},
      {AF_INET6, "::1%1", nullptr},
      {AF_INET6, "127.0.0.1", nullptr},
      {AF_INET, "127.0.0.1", "127.0.0.1"},
      {AF_INET, "127.1", nullptr},
      {AF_INET, "::1", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned char address[16] = {};
    ASSERT_EQ(c.written ? 1 : 0, inet_pton(c.family, c.text, address));
    if (!c.written) continue;
    char text[INET6_ADDRSTRLEN];
    ASSERT_NE(nullptr, inet_ntop(c.family, address, text, sizeof text));
    EXPECT_STREQ(c.written, text);
    EXPECT_EQ(nullptr, inet_ntop(c.family, address, text, std::strlen(c.written)))
        << "no room for the terminating zero";
  }
  EXPECT_EQ(-1, inet_pton(17, "::1", nullptr));
  EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());
}

}  // namespace
}  // namespace test
