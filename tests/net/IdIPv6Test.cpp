// IPv6 through the network layer: address text, look-ups of both versions, clients, handles and
// the server's listening on ::.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ClientTestPeers.h"
#include "ServerTestSupport.h"
#include "SocketTestSupport.h"
#include "net/IdHostLookup.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdPeerThread.h"
#include "net/IdStackWindows.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "support/PrivateNetwork.h"

namespace {

TEST(IPv6AddressText, IsRecognisedWithoutBracketsAndWithAZone) {
  const struct {
    const char* text;
    bool ipv6;
  } cases[] = {
      {"::1", true},    {"fe80::1%lo", true}, {"fe80::1%2", true},  {"::ffff:1.2.3.4", true},
      {"[::1]", false}, {"fe80::1%", false},  {"::1%a b", false},   {"1.2.3.4", false},
      {"::1::", false}, {"", false},          {"localhost", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.ipv6, TIdStack::IsIPv6Address(c.text)) << c.text;
  EXPECT_FALSE(TIdStack::IsIPv6Address(std::string("::1\0::", 5))) << "a zero byte ends C text";
}

// The one reading of address text: strict forms only, so that no layer takes for an address what
// another reads differently ("010.0.0.1" is 8.0.0.1 to some readers, 10.0.0.1 to others).
TEST(IPAddressText, IsReadStrictlyIntoItsBytes) {
  const struct {
    const char* text;
    int version;               // 0: no address
    std::uint8_t first, last;  // of the address's bytes
  } cases[] = {
      {"10.0.0.255", 4, 10, 255}, {"::ffff:1.2.3.4", 6, 0, 4},  {"FE80::1", 6, 0xfe, 1},
      {"010.0.0.1", 0, 0, 0},     {"::ffff:1.2.3.04", 0, 0, 0}, {"1.2.3", 0, 0, 0},
      {"[::1]", 0, 0, 0},         {"fe80::1%lo", 0, 0, 0},      {" ::1", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<TIdIPAddressBytes> address = TIdStack::ParseIPAddress(c.text);
    ASSERT_EQ(address.has_value(), c.version != 0);
    if (!address) continue;
    EXPECT_EQ(address->IPVersion, c.version == 4 ? Id_IPv4 : Id_IPv6);
    EXPECT_EQ(address->Bytes.front(), c.first);
    EXPECT_EQ(address->Bytes[c.version == 4 ? 3 : 15], c.last);
  }
  EXPECT_FALSE(TIdStack::ParseIPAddress(std::string_view("1.2.3.4\0", 8))) << "C text ends at NUL";
}

class IPv6Test : public testing::Test {
 protected:
  void SetUp() override {
    if (!Stack().IPv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
  }
  TIdStack& Stack() { return *GlobalStack(); }

  TIdComponent user_;  // keeps the stack
};

TEST_F(IPv6Test, HostToAddressesGivesAddressesAndLocalhostWithoutALookup) {
  using Addresses = TIdIPAddresses;
  const struct {
    const char* host;
    Addresses expected;
  } cases[] = {
      {"LocalHost", {{"::1", Id_IPv6}, {"127.0.0.1", Id_IPv4}}},
      {"0177.0.0.1", {{"127.0.0.1", Id_IPv4}}},
      {"::FFFF:127.0.0.1", {{"::ffff:127.0.0.1", Id_IPv6}}},
      {"0:0::1%1", {{"::1%1", Id_IPv6}}},
      {"fe80::1%lo", {{"fe80::1%1", Id_IPv6}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Stack().HostToAddresses(c.host)) << c.host;
    EXPECT_EQ(c.expected, Stack().AddressesWithoutLookup(c.host)) << c.host;
  }
  EXPECT_EQ("::1", Stack().HostToAddress("localhost", Id_IPv6));
  EXPECT_EQ("127.0.0.1", Stack().HostToAddress("localhost", Id_IPv4));
  try {
    Stack().HostToAddress("127.0.0.1", Id_IPv6);
    ADD_FAILURE() << "an IPv4 address gave an IPv6 one";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(11001, e.ErrorCode());
  }
  EXPECT_FALSE(Stack().AddressesWithoutLookup("fe80::1%nosuchzone")) << "left to the look-up";
}

// A resolver that answers only when told to.
class HangingStack : public TIdStackWindows {
 public:
  static inline std::atomic<bool> release{false};
  static inline std::atomic<int> asked{0};
  TIdIPAddresses SockHostAddresses(const std::string&) override {
    ++asked;
    test::WaitUntil([] { return release.load(); }, 20000);
    return {{"::1", Id_IPv6}};
  }
};

TEST(IPv6LookupTest, GivingUpLeavesTheLookupBehind) {
  const TIdStackClass previous = StackClass();
  SetStackClass([]() -> std::unique_ptr<TIdStack> { return std::make_unique<HangingStack>(); });
  {
    TIdComponent user;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HostToAddressesUnless("slow.test", [] { return HangingStack::asked > 0; }));
    EXPECT_LT(test::MsSince(start), 2000);
    EXPECT_EQ(2, StackUserCount()) << "the helper holds the stack while it looks up";
    HangingStack::release = true;
    EXPECT_TRUE(test::WaitUntil([] { return StackUserCount() == 1; }));
    const auto answer = HostToAddressesUnless("slow.test", [] { return false; });
    ASSERT_TRUE(answer);
    EXPECT_EQ((TIdIPAddresses{{"::1", Id_IPv6}}), *answer);
  }
  SetStackClass(previous);
}

TEST_F(IPv6Test, AClientOfVersion6ConnectsToAnIPv6AddressOrName) {
  TIdSocketHandle listener;
  listener.SetIPVersion(Id_IPv6);
  listener.OpenSocket();
  listener.SetIP("::1");
  listener.BindLocal();
  listener.StartListening(4);
  EXPECT_EQ("::1", listener.IP());

  for (const char* host : {"::1", "localhost"}) {
    TIdTCPClient client;
    std::vector<std::string> statuses;
    client.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) {
      statuses.push_back(text);
    };
    client.SetIPVersion(Id_IPv6);
    client.SetHost(host);
    client.SetPort(listener.Port());
    client.Connect(-1);
    std::vector<std::string> expected{"Connecting to ::1.", "Connected."};
    if (std::string(host) == "localhost")
      expected.insert(expected.begin(), "Resolving hostname localhost.");
    EXPECT_EQ(expected, statuses);

    TIdSocketHandle served;
    ASSERT_TRUE(served.AcceptFrom(listener.OsSocket()));
    EXPECT_EQ(Id_IPv6, served.IPVersion());
    EXPECT_EQ("::1", served.RemoteIP());
    EXPECT_EQ("::1", client.SocketHandler()->SocketHandle()->RemoteIP());
    client.WriteLine("hi");
    char line[4] = {};
    EXPECT_EQ(4, served.Receive(line, 4));
  }
}

TEST_F(IPv6Test, ACloseFromAnotherThreadEndsAPendingConnect) {
  test::UnansweredListener silent(true);
  ASSERT_NE(0, silent.Port()) << "could not fill the accept queue";
  TIdTCPClient client;
  client.SetIPVersion(Id_IPv6);
  client.SetHost("::1");
  client.SetPort(silent.Port());
  // The handle exists before the connect, as for a watch that may close it at any time.
  auto owned = std::make_unique<TIdIOHandlerSocket>(&client);
  TIdIOHandlerSocket& handler = *owned;
  client.SetIOHandler(std::move(owned));
  handler.Open();
  std::thread closer([&handler] {
    test::WaitUntil([&handler] { return handler.SocketHandle()->IsOpen(); });
    handler.SocketHandle()->Close();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Connect(-1), EIdSocketError);
  EXPECT_LT(test::MsSince(start), 5000);
  closer.join();
  EXPECT_FALSE(client.IsConnected());
}

class IPv6ServerTest : public IPv6Test {
 protected:
  void SetUp() override {
    IPv6Test::SetUp();
    server_->SetDefaultPort(0);
    server_->OnExecute = [](TIdPeerThread* AThread) {
      TIdTCPServerConnection* connection = AThread->Connection();
      connection->WriteLine(connection->ReadLine());
    };
  }
  // A line sent to the server over the version comes back.
  std::string Echo(TIdIPVersion version, const std::string& host, std::int32_t port) {
    TIdTCPClient client;
    client.SetIPVersion(version);
    client.SetHost(host);
    client.SetPort(port);
    client.Connect(-1);
    client.WriteLine("ping");
    return client.ReadLine();
  }

  std::unique_ptr<TIdTCPServer> server_ = std::make_unique<TIdTCPServer>();
};

TEST_F(IPv6ServerTest, ItsOwnBindingOnAllAddressesIsJoinedByOneOnIPv6) {
  server_->SetActive(true);
  ASSERT_EQ(1, server_->Bindings().Count()) << "readers of Bindings take them for IPv4";
  const TIdSocketHandle* ipv6 = server_->IPv6Binding();
  ASSERT_NE(nullptr, ipv6);
  EXPECT_EQ("::", ipv6->IP());
  EXPECT_EQ(Id_IPv6, ipv6->IPVersion());
  const std::int32_t port = test::PortOf(*server_);
  EXPECT_EQ(port, ipv6->Port());
  EXPECT_EQ(2u, test::ListenerCount(*server_));
  EXPECT_EQ("ping", Echo(Id_IPv6, "::1", port));
  EXPECT_EQ("ping", Echo(Id_IPv4, "127.0.0.1", port));

  // Bindings given: exactly those.
  auto given = test::MakeLoopbackServer();
  given->SetActive(true);
  EXPECT_EQ(nullptr, given->IPv6Binding());
  EXPECT_EQ(1u, test::ListenerCount(*given));
}

TEST_F(IPv6ServerTest, APortTakenOnIPv6OnlyIsReportedAsTakenAndNothingListens) {
  std::array<std::unique_ptr<TIdSocketHandle>, 3> held;
  const std::int32_t port = test::HoldConsecutivePorts(held);
  held[0].reset();
  TIdSocketHandle holder;
  holder.SetIPVersion(Id_IPv6);
  holder.OpenSocket();
  holder.SetIP("::1");
  holder.SetPort(port);
  holder.BindLocal();
  holder.StartListening(1);
  server_->SetDefaultPort(port);

  try {
    server_->SetActive(true);
    ADD_FAILURE() << "the server listened on a port taken on IPv6";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ("Could not bind socket. Address and port are already in use.", e.Message());
  }
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(0u, test::ListenerCount(*server_));
  test::RawClient client;
  EXPECT_FALSE(client.Connect(port)) << "the IPv4 listener of the failed attempt still listens";
}

// In a network of its own without IPv6, a server listens on IPv4 alone and says nothing of it.
// The namespace needs a process with one thread, so the check runs in a child.
int ListenWithoutIPv6() {
  if (!test::EnterPrivateNetwork()) return 77;
  for (const char* path :
       {"/proc/sys/net/ipv6/conf/all/disable_ipv6", "/proc/sys/net/ipv6/conf/lo/disable_ipv6"}) {
    std::ofstream(path) << "1\n";
  }
  TIdTCPServer server;
  if (server.IPv6Binding() != nullptr || GlobalStack()->IPv6Available()) return 1;
  server.SetDefaultPort(0);
  server.SetActive(true);
  if (server.IPv6Binding() != nullptr || test::ListenerCount(server) != 1) return 2;
  test::RawClient client;
  return client.Connect(test::PortOf(server)) ? 0 : 3;
}

TEST(IPv6AbsentTest, TheServerListensOnIPv4Only) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(ListenWithoutIPv6());
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private network namespace here";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
