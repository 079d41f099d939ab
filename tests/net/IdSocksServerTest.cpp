// Real traffic through real SOCKS servers started on loopback: danted (SOCKS 4 and 5) and
// microsocks (SOCKS 5 with user name and password). Each test skips when its server is missing.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ClientTestPeers.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdSocksInfo.h"

namespace {

using test::ChildServer;
using test::RefusingPort;
using test::ScriptedServer;

constexpr int kServerLifetimeSeconds = 120;

class SocksServerTest : public testing::Test {
 protected:
  void TearDown() override {
    server_.Stop();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string MakeTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tramlet-socks-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return {};
    dir_ = pattern;
    return dir_;
  }

  // Starts the server that makeArgv describes for a port, retrying with another port if a
  // parallel test took the first one.
  template <class MakeArgv>
  void StartServer(MakeArgv makeArgv) {
    std::string error;
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = test::FreeLoopbackPort();
      if (server_.Start(makeArgv(port_), port_, kServerLifetimeSeconds, error)) return;
    }
    FAIL() << error;
  }

  void Configure(TSocksVersion version, const std::string& user = "",
                 const std::string& password = "") {
    TIdSocksInfo* info = handler_.SocksInfo();
    info->SetVersion(version);
    info->SetHost("127.0.0.1");
    info->SetPort(port_);
    info->SetUsername(user);
    info->SetPassword(password);
    info->SetAuthentication(password.empty() ? saNoAuthentication : saUsernamePassword);
  }

  // Sends a line to an in-process target through the server and checks the answer.
  void ExpectRoundTrip(const std::string& targetHost) {
    ScriptedServer target({{5, {"pong\n"}}});
    handler_.Open();
    handler_.ConnectTo(targetHost, target.Port(), "", 0, 0, 0, -1);
    ASSERT_EQ(5, handler_.Send("ping\n", 5));
    std::string answer;
    char buffer[16];
    while (answer.size() < 5 && handler_.WaitReadable(5000)) {
      const std::int32_t n = handler_.Receive(buffer, sizeof buffer);
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ("pong\n", answer);
    handler_.Close();
    EXPECT_EQ("ping\n", target.Received());
  }

  ChildServer server_;
  std::string dir_;
  std::int32_t port_ = 0;
  TIdIOHandlerSocket handler_;
};

class DanteTest : public SocksServerTest {
 protected:
  void SetUp() override {
    const std::string danted = test::FindProgram("danted");
    if (danted.empty()) GTEST_SKIP() << "danted is not installed (Debian package dante-server)";
    const std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    StartServer([&](std::int32_t port) {
      const std::string config = dir + "/danted.conf";
      std::ofstream(config) << "logoutput: " << dir << "/danted.log\n"
                            << "internal: 127.0.0.1 port = " << port << "\n"
                            << "external: 127.0.0.1\n"
                            << "clientmethod: none\n"
                            << "socksmethod: none\n"
                            << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                            << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                            << "  command: connect\n  protocol: tcp\n}\n";
      return std::vector<std::string>{danted, "-f", config, "-p", dir + "/danted.pid"};
    });
  }
};

TEST_F(DanteTest, CarriesTrafficForSocks4And5) {
  struct Case {
    TSocksVersion version;
    const char* host;
  };
  // danted answers SOCKS 4A requests as plain SOCKS 4 ones (to 0.0.0.1), so 4A is checked byte by
  // byte against the scripted server only.
  for (const Case& c : {Case{svSocks4, "127.0.0.1"}, Case{svSocks4, "localhost"},
                        Case{svSocks5, "localhost"}, Case{svSocks5, "127.0.0.1"}}) {
    SCOPED_TRACE(std::string("version ") + std::to_string(c.version) + " to " + c.host);
    Configure(c.version, c.version == svSocks5 ? "" : "tramlet");
    try {
      ExpectRoundTrip(c.host);
    } catch (const EIdException& e) {
      ADD_FAILURE() << e.Message();
    }
  }
}

TEST_F(DanteTest, RefusedTargetIsReportedByKind) {
  RefusingPort closed;
  Configure(svSocks4);
  handler_.Open();
  EXPECT_THROW(handler_.ConnectTo("127.0.0.1", closed.Port(), "", 0, 0, 0, -1),
               EIdSocksRequestFailed);
  EXPECT_FALSE(handler_.IsConnected());

  Configure(svSocks5);
  handler_.Open();
  try {
    handler_.ConnectTo("127.0.0.1", closed.Port(), "", 0, 0, 0, -1);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const EIdSocksServerConnectionRefusedError& e) {
    EXPECT_EQ("Connection refused.", e.Message());
  }
  EXPECT_FALSE(handler_.IsConnected());
}

class MicrosocksTest : public SocksServerTest {
 protected:
  void SetUp() override {
    const std::string microsocks = test::FindProgram("microsocks");
    if (microsocks.empty())
      GTEST_SKIP() << "microsocks is not installed (Debian package microsocks)";
    StartServer([&](std::int32_t port) {
      return std::vector<std::string>{
          microsocks, "-i",      "127.0.0.1", "-p",    std::to_string(port),
          "-u",       "tramlet", "-P",        "s3cret"};
    });
  }
};

TEST_F(MicrosocksTest, LogsInAndCarriesTraffic) {
  Configure(svSocks5, "tramlet", "s3cret");
  ExpectRoundTrip("localhost");
}

TEST_F(MicrosocksTest, RefusesWrongLogins) {
  Configure(svSocks5, "tramlet", "wrong");
  handler_.Open();
  EXPECT_THROW(handler_.ConnectTo("localhost", 80, "", 0, 0, 0, -1), EIdSocksAuthError);
  EXPECT_FALSE(handler_.IsConnected());

  Configure(svSocks5);  // offers no authentication, which this server does not accept
  handler_.Open();
  EXPECT_THROW(handler_.ConnectTo("localhost", 80, "", 0, 0, 0, -1), EIdSocksAuthMethodError);
  EXPECT_FALSE(handler_.IsConnected());
}

}  // namespace
