#include "net/IdSocksInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "ClientTestPeers.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

namespace {

using test::ScriptedServer;
using test::ScriptStep;

constexpr const char* kLoopback = "127.0.0.1";

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values)
    bytes += static_cast<char>(value);
  return bytes;
}

// Settings ownership

TEST(SocksInfoSettingsTest, ReadingMakesAPrivateDefaultOnce) {
  TIdIOHandlerSocket handler;
  TIdSocksInfo* info = handler.SocksInfo();
  ASSERT_NE(nullptr, info);
  EXPECT_EQ(info, handler.SocksInfo());
  EXPECT_EQ(nullptr, info->Owner());
  EXPECT_EQ(&handler, info->OwnerHandler());
  EXPECT_EQ(svNoSocks, info->Version());
  EXPECT_EQ(1080, info->Port());
  EXPECT_EQ(saNoAuthentication, info->Authentication());
  EXPECT_EQ("", info->Host());
  EXPECT_EQ("", info->Username());
  EXPECT_EQ("", info->Password());
}

TEST(SocksInfoSettingsTest, AssigningNoneDropsThePrivateSettings) {
  TIdIOHandlerSocket handler;
  handler.SocksInfo()->SetVersion(svSocks5);
  handler.SetSocksInfo(nullptr);
  EXPECT_EQ(svNoSocks, handler.SocksInfo()->Version());
}

TEST(SocksInfoSettingsTest, SettingsWithoutOwnerAreCopied) {
  TIdIOHandlerSocket handler;
  TIdSocksInfo* privateInfo = handler.SocksInfo();
  TIdSocksInfo given;
  given.SetVersion(svSocks4A);
  given.SetHost("proxyhost");
  given.SetPort(1234);
  given.SetAuthentication(saUsernamePassword);
  given.SetUsername("user");
  given.SetPassword("secret");
  handler.SetSocksInfo(&given);

  TIdSocksInfo* used = handler.SocksInfo();
  EXPECT_EQ(privateInfo, used) << "the private object takes the copy";
  EXPECT_EQ(svSocks4A, used->Version());
  EXPECT_EQ("proxyhost", used->Host());
  EXPECT_EQ(1234, used->Port());
  EXPECT_EQ(saUsernamePassword, used->Authentication());
  EXPECT_EQ("user", used->Username());
  EXPECT_EQ("secret", used->Password());
  EXPECT_EQ(nullptr, given.OwnerHandler());
  given.SetHost("elsewhere");
  EXPECT_EQ("proxyhost", used->Host()) << "a copy, not a reference";
}

TEST(SocksInfoSettingsTest, SharedSettingsAreWatched) {
  rtl::TComponent form;
  auto* shared = new TIdSocksInfo(&form);  // owned by form
  shared->SetVersion(svSocks5);
  {
    TIdIOHandlerSocket handler;
    handler.SocksInfo()->SetHost("private");
    handler.SetSocksInfo(shared);
    EXPECT_EQ(shared, handler.SocksInfo());
    EXPECT_EQ(&handler, shared->OwnerHandler());
  }
  EXPECT_EQ(nullptr, shared->OwnerHandler()) << "the handler went first";

  TIdIOHandlerSocket handler;
  handler.SetSocksInfo(shared);
  delete shared;  // the settings go first
  TIdSocksInfo* info = handler.SocksInfo();
  EXPECT_NE(nullptr, info);
  EXPECT_EQ(svNoSocks, info->Version());
  EXPECT_EQ(&handler, info->OwnerHandler());
}

TEST(SocksInfoSettingsTest, CopyingReplacesSharedSettings) {
  rtl::TComponent form;
  auto* shared = new TIdSocksInfo(&form);
  TIdIOHandlerSocket handler;
  handler.SetSocksInfo(shared);
  TIdSocksInfo loose;
  loose.SetHost("loose");
  handler.SetSocksInfo(&loose);
  EXPECT_EQ(nullptr, shared->OwnerHandler());
  EXPECT_NE(shared, handler.SocksInfo());
  EXPECT_EQ("loose", handler.SocksInfo()->Host());
  delete shared;  // no longer watched; the handler keeps its copy
  EXPECT_EQ("loose", handler.SocksInfo()->Host());
}

// The exchanges, byte for byte, against a scripted server

struct Settings {
  Settings(TSocksVersion v, TSocksAuthentication a = saNoAuthentication, std::string u = "",
           std::string p = "")
      : version(v), authentication(a), username(std::move(u)), password(std::move(p)) {}
  TSocksVersion version;
  TSocksAuthentication authentication;
  std::string username;
  std::string password;
};

// Splits every reply into single bytes, so the client sees them arrive piece by piece.
std::vector<ScriptStep> SplitReplies(std::vector<ScriptStep> script) {
  for (ScriptStep& step : script) {
    std::vector<std::string> pieces;
    for (const std::string& piece : step.reply)
      for (char byte : piece)
        pieces.emplace_back(1, byte);
    step.reply = pieces;
  }
  return script;
}

class SocksExchangeTest : public testing::Test {
 protected:
  void Configure(const Settings& settings, std::int32_t serverPort) {
    TIdSocksInfo* info = handler_.SocksInfo();
    info->SetVersion(settings.version);
    info->SetHost(kLoopback);
    info->SetPort(serverPort);
    info->SetAuthentication(settings.authentication);
    info->SetUsername(settings.username);
    info->SetPassword(settings.password);
  }

  // Connects through the server to host:port.
  void Connect(const std::string& host, std::int32_t port, std::int32_t timeout = -1) {
    handler_.Open();
    handler_.ConnectTo(host, port, "", 0, 0, 0, timeout);
  }

  // Gathers count bytes of what the target (here the script) sends after the exchange.
  std::string ReadFromTarget(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count && handler_.WaitReadable(5000)) {
      const std::int32_t n =
          handler_.Receive(bytes.data() + got, static_cast<std::int32_t>(count - got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  TIdIOHandlerSocket handler_;
};

TEST_F(SocksExchangeTest, NoSocksSendsNothing) {
  ScriptedServer target({});
  handler_.SocksInfo()->SetHost("unreachable.invalid");  // ignored without a version
  Connect(kLoopback, target.Port());
  EXPECT_EQ(target.Port(), handler_.SocketHandle()->RemotePort());
  handler_.Close();
  EXPECT_EQ("", target.Received());
  EXPECT_TRUE(target.Completed());
}

struct ExchangeCase {
  const char* name;
  Settings settings;
  std::string host;
  std::int32_t port;
  std::vector<ScriptStep> script;  // the last reply is followed by the target's "HELLO"
  std::string expectedSent;
};

std::vector<ExchangeCase> ExchangeCases() {
  const std::string longName(255, 'n');
  const std::string longPass(255, 'p');
  const std::string longHost(255, 'h');
  const std::string socks5Ok = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
  return {
      {"socks4 without user id",
       {svSocks4},
       "127.0.0.1",
       80,
       {{9, {Bytes({0, 90, 0, 0, 0, 0, 0, 0})}}},
       Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0})},
      {"socks4 resolves the name itself",
       {svSocks4, saNoAuthentication, "bob"},
       "localhost",
       8080,
       {{12, {Bytes({0, 90, 0, 0, 0, 0, 0, 0})}}},
       Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "bob" + Bytes({0})},
      {"socks4a passes the name on",
       {svSocks4A, saNoAuthentication, "u"},
       "webhost",
       80,
       {{18, {Bytes({0, 90, 0, 0, 0, 0, 0, 0})}}},
       Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "u" + Bytes({0}) + "webhost" + Bytes({0})},
      {"socks5 without authentication",
       {svSocks5},
       "webhost",
       443,
       {{3, {Bytes({5, 0})}}, {14, {socks5Ok}}},
       Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 7}) + "webhost" + Bytes({1, 187})},
      {"socks5 sends a dotted address as a name",
       {svSocks5},
       "127.0.0.1",
       80,
       {{3, {Bytes({5, 0})}}, {16, {socks5Ok}}},
       Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0, 80})},
      {"socks5 with user name and password",
       {svSocks5, saUsernamePassword, "bob", "secret"},
       "webhost",
       80,
       {{3, {Bytes({5, 2})}}, {12, {Bytes({1, 0})}}, {14, {socks5Ok}}},
       Bytes({5, 1, 2}) + Bytes({1, 3}) + "bob" + Bytes({6}) + "secret" + Bytes({5, 1, 0, 3, 7}) +
           "webhost" + Bytes({0, 80})},
      {"socks5 bound address as a name of 9 bytes",
       {svSocks5},
       "webhost",
       80,
       {{3, {Bytes({5, 0})}}, {14, {Bytes({5, 0, 0, 3, 9}) + "boundhost" + Bytes({0, 80})}}},
       Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 7}) + "webhost" + Bytes({0, 80})},
      {"socks5 bound address in IPv6",
       {svSocks5},
       "webhost",
       80,
       {{3, {Bytes({5, 0})}},
        {14, {Bytes({5, 0, 0, 4}) + std::string(16, '\x01') + Bytes({0, 80})}}},
       Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 7}) + "webhost" + Bytes({0, 80})},
      {"socks5 fields at their longest",
       {svSocks5, saUsernamePassword, longName, longPass},
       longHost,
       65535,
       {{3, {Bytes({5, 2})}}, {513, {Bytes({1, 0})}}, {262, {socks5Ok}}},
       Bytes({5, 1, 2}) + Bytes({1, 255}) + longName + Bytes({255}) + longPass +
           Bytes({5, 1, 0, 3, 255}) + longHost + Bytes({255, 255})},
  };
}

TEST_F(SocksExchangeTest, RequestsAreExactAndTheStreamStartsAtTheTarget) {
  for (const ExchangeCase& c : ExchangeCases()) {
    for (bool split : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (split ? ", replies in pieces" : ", whole replies"));
      std::vector<ScriptStep> script = split ? SplitReplies(c.script) : c.script;
      script.back().reply.push_back("HELLO");
      ScriptedServer server(script);
      Configure(c.settings, server.Port());
      try {
        Connect(c.host, c.port);
      } catch (const EIdException& e) {
        ADD_FAILURE() << e.Message();
        continue;
      }
      EXPECT_EQ("HELLO", ReadFromTarget(5));
      handler_.Close();
      EXPECT_EQ(c.expectedSent, server.Received());
      EXPECT_TRUE(server.Completed());
    }
  }
}

TEST_F(SocksExchangeTest, TimedConnectNegotiatesToo) {
  ScriptedServer server({{3, {Bytes({5, 0})}}, {14, {Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})}}});
  Configure({svSocks5}, server.Port());
  std::vector<std::string> statuses;
  handler_.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) {
    statuses.push_back(text);
  };
  handler_.SocksInfo()->SetHost("localhost");
  Connect("webhost", 80, 3000);
  EXPECT_TRUE(handler_.IsConnected());
  // The reports name the SOCKS server, which is what the socket connects to.
  EXPECT_EQ((std::vector<std::string>{"Resolving hostname localhost.", "Connecting to 127.0.0.1."}),
            statuses);
  handler_.Close();
  EXPECT_EQ(Bytes({5, 1, 0, 5, 1, 0, 3, 7}) + "webhost" + Bytes({0, 80}), server.Received());
}

// Failures

template <class Kind>
std::function<bool(const EIdException&)> Is() {
  return [](const EIdException& e) { return dynamic_cast<const Kind*>(&e) != nullptr; };
}

struct FailureCase {
  std::string name;
  Settings settings;
  std::vector<ScriptStep> script;  // the server hangs up after it
  std::function<bool(const EIdException&)> kind;
  std::string text;
};

std::vector<FailureCase> FailureCases() {
  const Settings socks4{svSocks4};
  const Settings socks5{svSocks5};
  const Settings socks5Login{svSocks5, saUsernamePassword, "bob", "secret"};
  const ScriptStep offer{3, {Bytes({5, 0})}};
  const std::size_t socks5Request = 14;  // webhost:80
  std::vector<FailureCase> cases{
      {"socks4 91",
       socks4,
       {{9, {Bytes({0, 91, 0, 0, 0, 0, 0, 0})}}},
       Is<EIdSocksRequestFailed>(),
       "Request rejected or failed."},
      {"socks4 92",
       socks4,
       {{9, {Bytes({0, 92, 0, 0, 0, 0, 0, 0})}}},
       Is<EIdSocksRequestServerFailed>(),
       "Request rejected because SOCKS server cannot connect."},
      {"socks4 93",
       socks4,
       {{9, {Bytes({0, 93, 0, 0, 0, 0, 0, 0})}}},
       Is<EIdSocksRequestIdentFailed>(),
       "Request rejected because the client program and identd report different user-ids."},
      {"socks4 95",
       socks4,
       {{9, {Bytes({0, 95, 0, 0, 0, 0, 0, 0})}}},
       Is<EIdSocksUnknownError>(),
       "Unknown socks error."},
      {"socks4 no reply",
       socks4,
       {{9, {}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks4 short reply",
       socks4,
       {{9, {Bytes({0, 90, 0})}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 refuses every method",
       socks5,
       {{3, {Bytes({5, 255})}}},
       Is<EIdSocksAuthMethodError>(),
       "Invalid socks authentication method."},
      {"socks5 picks another method",
       socks5,
       {{3, {Bytes({5, 2})}}},
       Is<EIdSocksAuthMethodError>(),
       "Invalid socks authentication method."},
      {"socks5 login refused",
       socks5Login,
       {{3, {Bytes({5, 2})}}, {12, {Bytes({1, 1})}}},
       Is<EIdSocksAuthError>(),
       "Authentication error to socks server."},
      {"socks5 no method reply",
       socks5,
       {{3, {}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 no login reply",
       socks5Login,
       {{3, {Bytes({5, 2})}}, {12, {}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 no connect reply",
       socks5,
       {offer, {socks5Request, {}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 connect reply cut short",
       socks5,
       {offer, {socks5Request, {Bytes({5, 0})}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 bound address cut short",
       socks5,
       {offer, {socks5Request, {Bytes({5, 0, 0, 1, 127, 0})}}},
       Is<EIdSocksServerRespondError>(),
       "Socks server did not respond."},
      {"socks5 unknown address type",
       socks5,
       {offer, {socks5Request, {Bytes({5, 0, 0, 7, 0})}}},
       Is<EIdSocksUnknownError>(),
       "Unknown socks error."},
  };
  struct Reply {
    int code;
    std::function<bool(const EIdException&)> kind;
    const char* text;
  };
  for (const Reply& r : std::vector<Reply>{
           {1, Is<EIdSocksServerGeneralError>(), "General SOCKS server failure."},
           {2, Is<EIdSocksServerPermissionError>(), "Connection not allowed by ruleset."},
           {3, Is<EIdSocksServerNetUnreachableError>(), "Network unreachable."},
           {4, Is<EIdSocksServerHostUnreachableError>(), "Host unreachable."},
           {5, Is<EIdSocksServerConnectionRefusedError>(), "Connection refused."},
           {6, Is<EIdSocksServerTTLExpiredError>(), "TTL expired."},
           {7, Is<EIdSocksServerCommandError>(), "Command not supported."},
           {8, Is<EIdSocksServerAddressError>(), "Address type not supported."},
           {9, Is<EIdSocksUnknownError>(), "Unknown socks error."},
           {255, Is<EIdSocksUnknownError>(), "Unknown socks error."}})
    cases.push_back({"socks5 reply " + std::to_string(r.code),
                     socks5,
                     {offer, {socks5Request, {Bytes({5, r.code, 0, 1, 0, 0, 0, 0, 0, 0})}}},
                     r.kind,
                     r.text});
  return cases;
}

TEST_F(SocksExchangeTest, EveryFailureHasItsKindAndText) {
  for (const FailureCase& c : FailureCases()) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script, false);
    Configure(c.settings, server.Port());
    try {
      Connect(c.settings.version == svSocks5 ? "webhost" : kLoopback, 80);
      ADD_FAILURE() << "negotiation succeeded";
    } catch (const EIdException& e) {
      EXPECT_TRUE(c.kind(e)) << "unexpected kind with text " << e.Message();
      EXPECT_EQ(c.text, e.Message());
    }
    EXPECT_FALSE(handler_.IsConnected()) << "a failed negotiation must leave no socket open";
    EXPECT_TRUE(server.Completed()) << "the client sent other bytes than the script expects";
  }
}

struct RefusalCase {
  const char* name;
  Settings settings;
  std::string host;
  std::int32_t port;
  std::string text;
};

TEST_F(SocksExchangeTest, FieldsTheMessagesCannotCarryAreRefusedBeforeSending) {
  const std::string tooLong(256, 'x');
  const std::vector<RefusalCase> cases{
      {"socks5 user name",
       {svSocks5, saUsernamePassword, tooLong, "pw"},
       "webhost",
       80,
       "SOCKS user name is longer than 255 bytes."},
      {"socks5 password",
       {svSocks5, saUsernamePassword, "bob", tooLong},
       "webhost",
       80,
       "SOCKS password is longer than 255 bytes."},
      {"socks5 host name", {svSocks5}, tooLong, 80, "SOCKS host name is longer than 255 bytes."},
      {"socks4 user id",
       {svSocks4, saNoAuthentication, tooLong},
       kLoopback,
       80,
       "SOCKS user name is longer than 255 bytes."},
      {"socks4a host name", {svSocks4A}, tooLong, 80, "SOCKS host name is longer than 255 bytes."},
      {"socks4 user id with a zero byte",
       {svSocks4, saNoAuthentication, std::string("a\0b", 3)},
       kLoopback,
       80,
       "SOCKS user name contains a zero byte."},
      {"socks4a host with a zero byte",
       {svSocks4A},
       std::string("evil\0host", 9),
       80,
       "SOCKS host name contains a zero byte."},
      {"port above 65535", {svSocks5}, "webhost", 65536, "Invalid SOCKS target port 65536."},
      {"negative port", {svSocks4A}, "webhost", -1, "Invalid SOCKS target port -1."},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({});
    Configure(c.settings, server.Port());
    try {
      Connect(c.host, c.port);
      ADD_FAILURE() << "accepted";
    } catch (const EIdSocksError& e) {
      EXPECT_EQ(c.text, e.Message());
    }
    EXPECT_FALSE(handler_.IsConnected());
    EXPECT_EQ("", server.Received());
  }
}

TEST(SocksNegotiateTest, WithoutAHandlerNothingCanBeSent) {
  TIdSocksInfo info;
  info.Negotiate("webhost", 80);  // svNoSocks: nothing to do, and no handler needed
  info.SetVersion(svSocks5);
  EXPECT_THROW(info.Negotiate("webhost", 80), EIdClosedSocket);
}

}  // namespace
