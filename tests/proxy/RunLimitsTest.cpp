// What a run holds, and for how long: its share of the body budget, its life after its client has
// finished, and what a stop leaves its client with.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ProxyTestSupport.h"
#include "proxy/ProxyHandler.h"
#include "support/LoopbackListen.h"
#include "support/OriginServer.h"
#include "support/Pattern.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

using test::OriginScript;
using test::OriginServer;
using test::RawClient;

std::string Target(std::int32_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

std::string ChunkedPost(std::int32_t port) {
  return "POST " + Target(port) + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
}

std::string StatusLine(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}

class RunLimitsTest : public ::testing::Test {
 protected:
  void ExpectIdle(test::LoopbackProxy& proxy) { EXPECT_TRUE(proxy.WaitUntilIdle()); }
  static std::int32_t Runs(test::LoopbackProxy& proxy) {
    return proxy.Counters().ConnectionCount.load();
  }
};

// Chunked uploads of one-byte chunks whose size lines carry much more: what is read counts
// against the budget though it is dropped, and size lines may carry only so much in all.
struct UploadCase {
  const char* name;
  std::int64_t budget;
  std::size_t extension;  // bytes after each size
  int chunks;
  std::string status;
};

class ChunkedUploadTest : public RunLimitsTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(ChunkedUploadTest, IsHeldWithinItsBounds) {
  const UploadCase& c = GetParam();
  proxy::RunLimits limits;
  limits.BodyBudgetBytes = c.budget;
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  OriginServer origin({{{"HTTP/1.0 204 No Content\r\n\r\n"}}});
  std::string request = ChunkedPost(origin.Port());
  for (int i = 0; i < c.chunks; ++i)
    request += "1;e=" + std::string(c.extension - 3, 'x') + "\r\nd\r\n";
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(request + "0\r\n\r\n"));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(StatusLine(answer), c.status);
  ExpectIdle(proxy);
  EXPECT_EQ(proxy.Handler().BodyBudgetUsed(), 0);
  if (c.status == "HTTP/1.0 204 No Content") {
    ASSERT_EQ(origin.Requests().size(), 1u);
    const std::string sent = origin.Requests()[0];
    EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), std::string(c.chunks, 'd'));
  } else {
    EXPECT_TRUE(origin.Requests().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ChunkedUploadTest,
    ::testing::Values(UploadCase{"WithinBoth", 256 << 10, 1000, 100, "HTTP/1.0 204 No Content"},
                      UploadCase{"WhatIsReadPassesTheBudget", 256 << 10, 3000, 120,
                                 "HTTP/1.0 503 Service Unavailable"},
                      UploadCase{"ExtensionsPassTheirBound", std::int64_t{64} << 20, 4000, 300,
                                 "HTTP/1.0 400 Bad Request"}),
    [](const auto& row) { return std::string(row.param.name); });

// A body kept to ask again is let go as soon as the answer shows that it will not be: at once for
// an origin that answers, after the second asking for one that refused HTTP/1.0 first.
TEST_F(RunLimitsTest, AHeldBodyIsGivenBackOnceItsAnswerBegins) {
  const std::string body = test::Pattern(0, 100000);
  const std::string chunked = "186A0\r\n" + body + "\r\n0\r\n\r\n";
  for (const bool refusesHttp10 : {false, true}) {
    SCOPED_TRACE(refusesHttp10 ? "refuses HTTP/1.0" : "answers");
    test::LoopbackProxy proxy([](std::int32_t) {});
    OriginScript script;
    script.answerFor = [refusesHttp10](const std::string& request) {
      const bool http10 = request.find(" HTTP/1.0\r\n") != std::string::npos;
      return std::vector<test::OriginStep>{
          {refusesHttp10 && http10 ? "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 0\r\n\r\n"
                                   : "HTTP/1.1 200 OK\r\n\r\nfirst"}};
    };
    script.silentAfter = true;
    OriginServer origin(script);
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(ChunkedPost(origin.Port()) + chunked));
    EXPECT_EQ(client.ReadExactly(24), "HTTP/1.0 200 OK\r\n\r\nfirst");
    EXPECT_TRUE(test::WaitUntil([&] { return proxy.Handler().BodyBudgetUsed() == 0; }));
    EXPECT_EQ(Runs(proxy), 1) << "the answer is still under way";
    const std::vector<std::string> requests = origin.Requests();
    ASSERT_EQ(requests.size(), refusesHttp10 ? 2u : 1u);
    EXPECT_TRUE(requests.back().ends_with("\r\n\r\n" + body));
    client.Reset();
    ExpectIdle(proxy);
  }
}

// An origin that sends a whole chunked body and then only trailer bytes, a byte at a time: once
// its client has left, the run ends at the idle limit, as if the origin were silent.
TEST_F(RunLimitsTest, TrailerBytesAfterTheBodyDoNotKeepARunWhoseClientLeft) {
  proxy::RunLimits limits;
  limits.IdleLimit = std::chrono::milliseconds(1000);
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  std::vector<test::OriginStep> steps{
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n"}};
  steps.resize(400, {"X", 50});  // 20 s of trailer
  OriginServer origin({steps});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("GET " + Target(origin.Port()) + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(client.ReadExactly(24), "HTTP/1.0 200 OK\r\n\r\nhello");
  client.Close();
  EXPECT_TRUE(test::WaitUntil([&] { return Runs(proxy) == 0; }, 15000));
  ExpectIdle(proxy);
}

// A tunnel to an origin that never sends: with one side closed it ends at the idle limit; with
// both open it stays however long it is quiet.
TEST_F(RunLimitsTest, AQuietTunnelEndsOnlyOnceOneSideHasClosed) {
  proxy::RunLimits limits;
  limits.IdleLimit = std::chrono::milliseconds(1000);
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  // Connections the kernel completes and nobody accepts: they neither send nor close.
  std::int32_t port = 0;
  const int listener = test::ListenOnLoopback(16, port);
  ASSERT_GE(listener, 0);
  for (const bool clientCloses : {true, false}) {
    SCOPED_TRACE(clientCloses ? "the client closes its side" : "both sides stay open");
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.ReadExactly(39), "HTTP/1.0 200 Connection established\r\n\r\n");
    ASSERT_TRUE(client.Send("hello"));
    if (clientCloses) {
      client.ShutdownWrite();
      EXPECT_TRUE(test::WaitUntil([&] { return Runs(proxy) == 0; }, 10000));
    } else {
      EXPECT_FALSE(test::WaitUntil([&] { return Runs(proxy) == 0; }, 3000));
      client.Reset();
    }
    ExpectIdle(proxy);
  }
  ::close(listener);
}

// A stop in the middle of an answer resets its client, whatever the answer's framing, so that no
// client takes what it got for the whole answer.
struct StopCase {
  const char* name;
  std::string head;  // followed by the body, and by what ends it
  std::string end = {};
};

class StopTest : public RunLimitsTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, ResetsAClientWhoseAnswerIsNotWhole) {
  test::LoopbackProxy proxy(
      {.pause = [](std::int32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); },
       .speedLimit = 1});
  const std::string body = test::Pattern(0, 20000);
  OriginServer origin({{{GetParam().head + body + GetParam().end}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("GET " + Target(origin.Port()) + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(client.ReadExactly(1000).size(), 1000u);
  proxy.Server().SetActive(false);
  std::string rest;
  client.ReadUntilClosed(rest);
  EXPECT_TRUE(client.WasReset()) << rest.size() << " bytes, then an orderly close";
  EXPECT_EQ(Runs(proxy), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StopTest,
    ::testing::Values(StopCase{"Chunked",
                               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4E20\r\n",
                               "\r\n0\r\n\r\n"},
                      StopCase{"OfKnownLength", "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n"},
                      StopCase{"DelimitedByTheClose", "HTTP/1.0 200 OK\r\n\r\n"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
