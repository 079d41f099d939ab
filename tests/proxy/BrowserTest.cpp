#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"
#include "support/Subprocess.h"
#include "support/TlsPeers.h"
#include "support/WaitUntil.h"

namespace {

// Debian's Chromium, headless, with the proxy as its proxy for loopback too.
class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::RunAndCapture("timeout 60 chromium --version 2>&1"))
      GTEST_SKIP() << "chromium cannot be run here (apt-get install chromium)";
    char pattern[] = "/tmp/tramlet-chromium-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    profile_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!profile_.empty()) std::filesystem::remove_all(profile_, ignored);
  }

  // The page as Chromium shows it after loading it through the proxy; empty when it failed.
  std::string Load(const std::string& url) {
    const std::string command =
        "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --ignore-certificate-errors --user-data-dir=" +
        profile_ + " --proxy-server=http://127.0.0.1:" + std::to_string(proxy_.Port()) +
        " '--proxy-bypass-list=<-loopback>' --dump-dom " + url + " 2>/dev/null";
    return test::RunAndCapture(command).value_or("");
  }

  test::LoopbackProxy proxy_{[](std::int32_t) {}};
  std::string profile_;
};

TEST_F(BrowserTest, LoadsPlainAndHttpsPagesThroughTheProxy) {
  proxy_.Settings().SpeedLimit = 1000;
  const std::string page = "<html><body><p>plain-origin-page</p></body></html>";
  test::OriginServer plain({{{"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(page.size()) + "\r\n\r\n" + page}}});
  test::TlsOrigin tls;

  EXPECT_NE(Load("http://127.0.0.1:" + std::to_string(plain.Port()) + "/page.html")
                .find("plain-origin-page"),
            std::string::npos);
  ASSERT_TRUE(plain.WaitForRequests(1));
  EXPECT_EQ(plain.Requests()[0].substr(0, 25), "GET /page.html HTTP/1.0\r\n");

  EXPECT_NE(
      Load("https://127.0.0.1:" + std::to_string(tls.Port()) + "/page").find("tls-origin-page"),
      std::string::npos);
  EXPECT_TRUE(tls.WaitFor("request GET /page HTTP/1.1"));
  const auto upload = proxy_.View().Of("upload");
  EXPECT_NE(std::find(upload.begin(), upload.end(),
                      "CONNECT 127.0.0.1:" + std::to_string(tls.Port()) + " HTTP/1.0"),
            upload.end());
  EXPECT_TRUE(test::WaitUntil([&] { return proxy_.Counters().ConnectionCount.load() == 0; }));
}

}  // namespace
