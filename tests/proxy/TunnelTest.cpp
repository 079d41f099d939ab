#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"
#include "support/Pattern.h"
#include "support/RawClient.h"
#include "support/Subprocess.h"
#include "support/TlsPeers.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// HTTPS through the proxy's CONNECT, against a real TLS origin.
class TunnelTest : public ::testing::Test {
 protected:
  void ExpectIdle(test::LoopbackProxy& proxy) {
    EXPECT_FALSE(proxy.View().Of("count").empty());
    EXPECT_TRUE(proxy.WaitUntilIdle());
  }

  test::TlsOrigin origin_;
};

TEST_F(TunnelTest, CurlFetchesAFileByteForByteAtTheSetPace) {
  test::LoopbackProxy proxy;  // limit 4, real pauses
  const auto output =
      std::filesystem::temp_directory_path() / ("tramlet-tunnel-" + std::to_string(proxy.Port()));
  const std::string command = "curl -s -S -k --max-time 30 -o " + output.string() +
                              " -x http://127.0.0.1:" + std::to_string(proxy.Port()) +
                              " https://127.0.0.1:" + std::to_string(origin_.Port()) +
                              "/file?size=20000";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(test::RunAndCapture(command)) << command;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::ifstream in(output, std::ios::binary);
  std::stringstream received;
  received << in.rdbuf();
  std::filesystem::remove(output);

  EXPECT_EQ(received.str(), test::Pattern(0, 20000));
  // About 22,000 bytes with the handshake, at 4000 per second: five pauses.
  EXPECT_GE(elapsed, 4s);
  EXPECT_LE(elapsed, 6s);
  EXPECT_TRUE(origin_.WaitFor("request GET /file?size=20000 HTTP/1.1"));
  ExpectIdle(proxy);
  const std::string target = "127.0.0.1:" + std::to_string(origin_.Port());
  EXPECT_EQ(proxy.View().Of("upload"), std::vector<std::string>{"CONNECT " + target + " HTTP/1.0"});
  // No tunnel byte is shown; the paced slices set the status as answers do.
  EXPECT_EQ(proxy.View().Of("download"), std::vector<std::string>{"Connected to 127.0.0.1"});
  const auto status = proxy.View().Of("status");
  EXPECT_GE(status.size(), 6u);
  for (const std::string& text : status)
    EXPECT_EQ(text.rfind("Speed limit in action ", 0), 0u) << text;
}

TEST_F(TunnelTest, AnUploadGoesThroughWhileTheDownloadIsPaused) {
  test::PauseGate gate;
  test::LoopbackProxy proxy([&](std::int32_t ms) { gate.Pause(ms); });
  test::TlsClient client(proxy.Port(), origin_.Port(), "duplex");
  // The download has used up its first period and is held; the 1 MiB upload must not wait.
  ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() >= 1; }, 20000));
  EXPECT_EQ(origin_.WaitFor("upload ", 20000), "upload 1048576 intact");
  EXPECT_EQ(gate.Entered(), 1);
  gate.Open();
  EXPECT_EQ(client.Result(), "body 20000 intact\n");
  ExpectIdle(proxy);
}

TEST_F(TunnelTest, TlsBytesInTheSameWriteAsTheHeaderBlockBelongToTheTunnel) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  test::TlsClient client(proxy.Port(), origin_.Port(), "early");
  EXPECT_EQ(client.Result(), "body 5000 intact\n");
  ExpectIdle(proxy);
}

TEST_F(TunnelTest, TheRunEndsWhenTheClientGoes) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  // A reset ends the tunnel at once; a close is passed on, and the origin's close then ends it.
  for (const std::string mode : {"vanish-reset", "vanish-close"}) {
    SCOPED_TRACE(mode);
    test::TlsClient client(proxy.Port(), origin_.Port(), mode);
    ASSERT_TRUE(origin_.WaitFor("request GET /silent"));
    EXPECT_EQ(client.Result(), "gone\n");
    EXPECT_TRUE(origin_.WaitFor("closed", 5000));
    ExpectIdle(proxy);
  }
}

TEST_F(TunnelTest, TheRunEndsWhenTheOriginResets) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  const std::string command =
      "curl -s -k --max-time 20 -o /dev/null -x http://127.0.0.1:" + std::to_string(proxy.Port()) +
      " https://127.0.0.1:" + std::to_string(origin_.Port()) + "/reset?size=3000";
  EXPECT_FALSE(test::RunAndCapture(command)) << "curl took a reset answer for a whole one";
  EXPECT_TRUE(origin_.WaitFor("closed"));
  ExpectIdle(proxy);
}

TEST_F(TunnelTest, AConnectThatFailsIsAnsweredWithBadGateway) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  std::int32_t closedPort;
  {
    test::OriginServer gone(test::OriginScript{});
    closedPort = gone.Port();
  }
  for (const std::string& target :
       {"127.0.0.1:" + std::to_string(closedPort), std::string("nowhere.invalid:443")}) {
    SCOPED_TRACE(target);
    test::RawClient client = test::RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"));
    std::string answer;
    EXPECT_TRUE(client.ReadUntilClosed(answer, 15000));
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.0 502 Bad Gateway");
    ExpectIdle(proxy);
  }
  EXPECT_EQ(proxy.View().Of("count").size(), 4u);
  EXPECT_EQ(proxy.View().Of("download").size(), 2u);  // what failed, each time
}

}  // namespace
