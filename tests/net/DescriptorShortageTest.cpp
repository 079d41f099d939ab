// The server when the process has no descriptor left: the listener pauses between failed
// accepts instead of spinning, and the clients it could not take are served once descriptors
// are free again; a proxy run that cannot open its upstream socket answers 503.
//
// Each test lowers its own process's open-files limit (CTest runs every test in a process of
// its own) to the lowest free descriptor number, or one above, and restores it at the end. The
// client sockets are made before that, so that only the server side runs short.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net/IdException.h"
#include "net/IdListenerThread.h"
#include "support/LoopbackProxy.h"
#include "support/OriginServer.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

// Lets the process open `spare` more descriptors (at the lowest free numbers) until destroyed.
class TightFileLimit {
 public:
  explicit TightFileLimit(int spare) {
    ::getrlimit(RLIMIT_NOFILE, &original_);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = original_;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
    applied_ = lowestFree >= 0 && ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~TightFileLimit() { Lift(); }
  TightFileLimit(const TightFileLimit&) = delete;
  TightFileLimit& operator=(const TightFileLimit&) = delete;

  bool Applied() const { return applied_; }
  void Lift() {
    if (applied_) ::setrlimit(RLIMIT_NOFILE, &original_);
    applied_ = false;
  }

 private:
  rlimit original_{};
  bool applied_ = false;
};

std::string GetThrough(std::int32_t originPort) {
  return "GET http://127.0.0.1:" + std::to_string(originPort) +
         "/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

class DescriptorShortage : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy_.Server().OnListenException = [this](TIdListenerThread*, const std::exception& e) {
      const auto* socketError = dynamic_cast<const EIdSocketError*>(&e);
      if (socketError && socketError->ErrorCode() == winsock::WSAEMFILE) ++failedAccepts_;
    };
    proxy_.Server().SetActive(true);
    // One whole run first: a sanitizer runtime checks an object's type with a pipe the first
    // time it meets it, and that takes descriptors the tests leave none of.
    const int threadsBefore = test::ThreadCount();
    test::RawClient client;
    ASSERT_TRUE(client.Connect(proxy_.Port()));
    ASSERT_TRUE(client.Send(GetThrough(origin_.Port())));
    ASSERT_EQ(kRelayed, client.ReadToClose(5000).value_or("(no close)"));
    // Its peer thread and the origin's have ended (and freed themselves) too.
    ASSERT_TRUE(test::WaitUntil([&] { return test::ThreadCount() == threadsBefore; }));
    // The same goes for the error kinds a shortage brings.
    try {
      throw EIdInvalidSocket(winsock::WSAEMFILE);
    } catch (const EIdInvalidSocket& e) {
      ASSERT_EQ(winsock::WSAEMFILE, e.ErrorCode());
    }
    try {
      throw EIdSocketError(winsock::WSAEMFILE, "");
    } catch (const EIdSocketError& e) {
      ASSERT_EQ(winsock::WSAEMFILE, e.ErrorCode());
    }
  }
  void TearDown() override { proxy_.Server().SetActive(false); }

  static constexpr const char* kRelayed = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  test::OriginServer origin_{{{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}}}};
  test::LoopbackProxy proxy_{{.pause = [](std::int32_t) {}, .activate = false}};
  std::atomic<int> failedAccepts_{0};
};

TEST_F(DescriptorShortage, TheListenerPausesBetweenFailedAcceptsAndTakesTheClientLater) {
  test::RawClient client;
  ASSERT_TRUE(client.Open());
  TightFileLimit limit(0);
  ASSERT_TRUE(limit.Applied());
  ASSERT_TRUE(client.Connect(proxy_.Port())) << "the kernel completes the handshake itself";
  ASSERT_TRUE(test::WaitUntil([&] { return failedAccepts_.load() >= 1; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int failedInASecond = failedAccepts_.load();
  limit.Lift();

  // Without a pause, the listener retries as fast as the failures come: thousands a second.
  EXPECT_LE(failedInASecond, 1 + 1000 / TIdListenerThread::BackOffMs + 5);
  ASSERT_TRUE(client.Send(GetThrough(origin_.Port())));
  EXPECT_EQ(kRelayed, client.ReadToClose(5000).value_or("(no close)"));
  EXPECT_TRUE(test::WaitUntil([&] { return proxy_.Counters().ConnectionCount.load() == 0; }));
}

TEST_F(DescriptorShortage, ARunWithoutADescriptorForItsUpstreamAnswers503) {
  test::RawClient client;
  ASSERT_TRUE(client.Open());
  TightFileLimit limit(1);  // enough for the accepted client, not for the run's upstream socket
  ASSERT_TRUE(limit.Applied());
  ASSERT_TRUE(client.Connect(proxy_.Port()));
  ASSERT_TRUE(client.Send(GetThrough(1)));
  const std::string answer = client.ReadToClose(5000).value_or("(no close)");
  limit.Lift();
  EXPECT_EQ(0u, answer.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0)) << answer;
  EXPECT_EQ(0, failedAccepts_.load());
  EXPECT_TRUE(test::WaitUntil([&] { return proxy_.Counters().ConnectionCount.load() == 0; }));
}

}  // namespace
