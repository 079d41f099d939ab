// The delay before each answer and the upload limit, counted in the pauses the proxy takes (the
// test holds each one), not in wall-clock time.

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"
#include "support/Pattern.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

using test::OriginScript;
using test::OriginServer;
using test::RawClient;

// The pauses the proxy asked for, each held until the test lets it pass.
struct RecordedPauses {
  void Pause(std::int32_t ms) {
    {
      std::lock_guard lock(mutex);
      asked.push_back(ms);
    }
    gate.Pause(ms);
  }
  // Of the first `count` pauses.
  std::int32_t Sum(std::size_t count) {
    std::lock_guard lock(mutex);
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < count && i < asked.size(); ++i)
      sum += asked[i];
    return sum;
  }
  std::mutex mutex;
  std::vector<std::int32_t> asked;
  test::PauseGate gate;
};

struct Exchange {
  const char* name;
  std::string request;  // %PORT% stands for the origin's port
  std::string firstBytes;
};

std::string WithPort(std::string text, std::int32_t port) {
  for (std::size_t at; (at = text.find("%PORT%")) != std::string::npos;)
    text.replace(at, 6, std::to_string(port));
  return text;
}

// Nothing reaches the client until the delay has been paused through, in steps of at most a
// second; then the answer is paced as any other.
TEST(Delay, HoldsAnAnswersFirstByteAndATunnelsAnswerForTheDelay) {
  const std::string body = test::Pattern(0, 5000);
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
  const std::vector<Exchange> cases = {
      {"GET", "GET http://127.0.0.1:%PORT%/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       (head + body).substr(0, 4000)},
      {"CONNECT", "CONNECT 127.0.0.1:%PORT% HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       "HTTP/1.0 200 Connection established\r\n\r\n"},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.name);
    RecordedPauses pauses;
    test::LoopbackProxy proxy([&](std::int32_t ms) { pauses.Pause(ms); });
    proxy.Settings().DelayMs = 2500;
    OriginScript script{{{head + body}}};
    script.readWaitMs = 200;  // a tunnel sends the origin nothing
    OriginServer origin(script);
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(WithPort(c.request, origin.Port())));
    for (int step = 1; step <= 3; ++step) {
      ASSERT_TRUE(test::WaitUntil([&] { return pauses.gate.Entered() == step; }));
      EXPECT_EQ(client.ReadExactly(1, 50), "") << "a byte came during the delay";
      pauses.gate.Release();
    }
    EXPECT_EQ(client.ReadExactly(c.firstBytes.size(), 2000), c.firstBytes);
    // Three steps of the 2500 ms, less what the run took before it began to wait.
    EXPECT_GT(pauses.Sum(3), 2000);
    EXPECT_LE(pauses.Sum(3), 2500);
    pauses.gate.Open();
    std::string rest;
    client.ReadUntilClosed(rest);
    EXPECT_TRUE(proxy.WaitUntilIdle());
  }
}

// What the client sends (a request body, or a tunnel's bytes to the origin) goes upstream at most
// the upload limit a second, as answers go down at the limit.
TEST(UploadLimit, PacesRequestBodiesAndTunnelledBytesBySeconds) {
  const std::string upload = test::Pattern(3, 10000);
  const std::vector<Exchange> cases = {
      {"POST",
       "POST http://127.0.0.1:%PORT%/up HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000\r\n"
       "\r\n" +
           upload,
       "HTTP/1.0 204 No Content\r\n\r\n"},
      {"CONNECT", "CONNECT 127.0.0.1:%PORT% HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + upload,
       "HTTP/1.0 200 Connection established\r\n\r\n"},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.name);
    RecordedPauses pauses;
    test::LoopbackProxy proxy([&](std::int32_t ms) { pauses.Pause(ms); });
    proxy.Settings().UploadLimit = 4;
    proxy.Settings().SpeedLimit = 1000;  // the answer is not what is paced here
    std::mutex mutex;
    std::string arrived;  // guarded by mutex
    OriginScript script{{{"HTTP/1.0 204 No Content\r\n\r\n"}}};
    script.readUntilQuiet = true;
    script.readWaitMs = 1500;  // longer than the test takes to let a pause pass
    script.keepBytes = 0;
    script.sink = [&](std::string_view bytes) {
      std::lock_guard lock(mutex);
      arrived.append(bytes);
    };
    OriginServer origin(script);
    const auto uploaded = [&] {
      std::lock_guard lock(mutex);
      const std::size_t end = arrived.find("\r\n\r\n");
      return c.name == std::string("CONNECT") ? arrived.size()
             : end == std::string::npos       ? 0
                                              : arrived.size() - end - 4;
    };
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(WithPort(c.request, origin.Port())));
    // 4000, 4000 and 2000 bytes, a pause after each full second's worth.
    for (std::size_t step = 1; step <= 2; ++step) {
      ASSERT_TRUE(test::WaitUntil([&] { return uploaded() == 4000 * step; })) << uploaded();
      ASSERT_TRUE(test::WaitUntil([&] { return pauses.gate.Entered() == int(step); }));
      EXPECT_EQ(uploaded(), 4000 * step) << "bytes went up during a pause";
      pauses.gate.Release();
    }
    ASSERT_TRUE(test::WaitUntil([&] { return uploaded() == upload.size(); })) << uploaded();
    EXPECT_EQ(client.ReadExactly(c.firstBytes.size(), 5000), c.firstBytes);
    pauses.gate.Open();
    EXPECT_EQ(pauses.gate.Entered(), 2);
    {
      std::lock_guard lock(mutex);
      EXPECT_EQ(arrived.substr(arrived.size() - upload.size()), upload);
    }
    client.Close();
    EXPECT_TRUE(proxy.WaitUntilIdle());
  }
}

}  // namespace
