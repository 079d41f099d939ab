#include "proxy/ProxyHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"
#include "support/RawPeer.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::string_literals;
using test::OriginScript;
using test::OriginServer;
using test::RawPeer;

std::string Get(std::int32_t originPort, const std::string& path = "/") {
  return "GET http://127.0.0.1:" + std::to_string(originPort) + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
}

std::string Answer(std::size_t bodySize) {
  std::string body(bodySize, 'x');
  for (std::size_t i = 0; i < bodySize; ++i)
    body[i] = static_cast<char>('a' + i % 26);
  return body;
}

// An origin that reads the whole forwarded request: line ends the proxy adds to a body can make
// it longer than announced, and lines go upstream in separate writes.
OriginScript ReadUntilQuiet(std::string answer) {
  OriginScript script{{{std::move(answer)}}};
  script.readWaitMs = 300;
  script.readUntilQuiet = true;
  return script;
}

// Every test ends with the proxy idle again: the count back at 0 and shown as such.
class ProxyHandlerTest : public ::testing::Test {
 protected:
  void ExpectIdle(test::ProxyUnderTest& proxy) {
    EXPECT_TRUE(test::WaitUntil([&] { return proxy.Counters().ConnectionCount.load() == 0; }));
    auto counts = proxy.View().Of("count");
    if (!counts.empty()) {
      EXPECT_EQ(counts.back(), "Concurrent connections: 0");
    }
  }
};

TEST_F(ProxyHandlerTest, PacesAnAnswerInSlicesWithAPauseAfterEach) {
  test::PauseGate gate;
  test::ProxyUnderTest proxy([&](std::int32_t ms) { gate.Pause(ms); });
  const std::string body = Answer(10000);
  OriginServer origin({{{body}}});
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));

  // The answer may arrive upstream in pieces; pacing is per piece, so wait for the whole of it
  // to be read before counting slices: each slice is held until the test releases its pause.
  std::string received;
  int slices = 0;
  while (received.size() < body.size() && slices < 10) {
    std::string slice = client.ReadExactly(4000 - received.size() % 4000, 2000);
    if (slice.empty()) break;
    received += slice;
    ++slices;
    ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == slices; }));
    EXPECT_EQ(client.ReadExactly(1, 100), "") << "bytes arrived during a pause";
    gate.Release();
  }
  EXPECT_EQ(received, body);
  EXPECT_EQ(slices, 3);  // 4000, 4000, 2000
  gate.Open();
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClosed(rest));
  EXPECT_EQ(rest, "");
  ExpectIdle(proxy);
  auto status = proxy.View().Of("status");
  ASSERT_EQ(status.size(), 3u);
  EXPECT_EQ(status[0].rfind("Speed limit in action ", 0), 0u);
}

TEST_F(ProxyHandlerTest, RewritesTheRequestAsItGoesUpstream) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginServer origin(ReadUntilQuiet("HTTP/1.0 200 OK\r\n\r\n"));
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  const std::string port = std::to_string(origin.Port());
  ASSERT_TRUE(client.Send("  GET http://127.0.0.1:" + port +
                          "/page-1.1?keep-alive HTTP/1.1 \r\n"
                          "Proxy-Connection: Keep-Alive\r\nVia: 1.1 cache\r\n"
                          "Content-Length: 9\r\n\r\nab\rcd\nefg"));
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0],
            "GET /page-1.0?keep-alive HTTP/1.0\r\n"
            "Proxy-Connection: close\r\nVia: 1.1 cache\r\nContent-Length: 9\r\n\r\n"
            "ab\r\ncd\r\nefg\r\n");
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  ExpectIdle(proxy);
  EXPECT_EQ(proxy.View().Of("upload"),
            std::vector<std::string>{"  GET /page-1.0?keep-alive HTTP/1.0 "});
  EXPECT_EQ(proxy.View().Of("count"),
            (std::vector<std::string>{"Concurrent connections: 1", "Concurrent connections: 0"}));
}

TEST_F(ProxyHandlerTest, ANulByteCutsTheRestOfItsRead) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginServer origin(ReadUntilQuiet("HTTP/1.0 204 No Content\r\n\r\n"));
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port()) + "body\0hidden\r\n"s));
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0].substr(origin.Requests()[0].find("\r\n\r\n") + 4), "body\r\n");
}

TEST_F(ProxyHandlerTest, RewritesEachAnswerChunkOnItsOwn) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n\r\nkeep-al"},
                        {"ive 10.1.1.1", 300},
                        {"\r\n", 300}}});
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nkeep-alive 10.1.0.1\r\n");
  ExpectIdle(proxy);
  auto download = proxy.View().Of("download");
  ASSERT_EQ(download.size(), 3u);  // the middle chunk holds no line break and is not shown
  EXPECT_EQ(download[0], "Connected to 127.0.0.1");
  EXPECT_EQ(download[1], "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nkeep-al");
  EXPECT_EQ(download[2], "\r\n");
}

TEST_F(ProxyHandlerTest, WaitsForAHeaderBlockThatArrivesInTwoParts) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  // The line end added after "ab" already makes the 4 announced body bytes.
  OriginServer origin(ReadUntilQuiet("HTTP/1.0 200 OK\r\n\r\nok"));
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/ HTTP/1.0\r\nContent-Length: 4\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // like a delayed second write
  ASSERT_TRUE(client.Send("\r\nab"));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  ASSERT_TRUE(client.Send("cd"));
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0], "POST / HTTP/1.0\r\nContent-Length: 4\r\n\r\nab\r\ncd\r\n");
}

TEST_F(ProxyHandlerTest, ForwardsALargeBodyThatArrivesInManyReads) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginScript script{{{"HTTP/1.0 200 OK\r\n\r\n"}}};
  script.readWaitMs = 1000;
  script.readUntilQuiet = true;  // line ends added on the way make it longer than announced
  OriginServer origin(script);
  std::string body = Answer(20 << 20);  // no line breaks: forwarded as one line plus CR LF
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  std::string head = "POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                     "/ HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  ASSERT_TRUE(client.Send(head));
  for (std::size_t at = 0; at < body.size(); at += 65536)
    ASSERT_TRUE(client.Send(std::string_view(body).substr(at, 65536)));
  ASSERT_TRUE(origin.WaitForRequests(1, 60000));
  const std::string request = origin.Requests()[0];
  const std::size_t bodyStart = request.find("\r\n\r\n") + 4;
  ASSERT_NE(bodyStart, std::string::npos + 4);
  // Each read that ends inside the body ends a line there, so line breaks may be added, but
  // every body byte arrives, in order.
  std::string forwarded = request.substr(bodyStart);
  std::erase(forwarded, '\r');
  std::erase(forwarded, '\n');
  EXPECT_EQ(forwarded.size(), body.size());
  EXPECT_TRUE(forwarded == body);
}

struct RefusedCase {
  const char* name;
  std::string request;
  std::string answer;  // empty: the connection is closed without one
  bool counted;
};

class ProxyRefusalTest : public ProxyHandlerTest,
                         public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ProxyRefusalTest, SendsNothingUpstream) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.0 200 OK\r\n\r\n"}}});
  std::string request = GetParam().request;
  for (std::size_t at; (at = request.find("ORIGIN")) != std::string::npos;)
    request.replace(at, 6, std::to_string(origin.Port()));
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(request));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  if (GetParam().answer.empty())
    EXPECT_EQ(answer, "");
  else
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().answer);
  ExpectIdle(proxy);
  EXPECT_EQ(proxy.View().Of("count").size(), GetParam().counted ? 2u : 0u);
  EXPECT_TRUE(proxy.View().Of("upload").empty());
  EXPECT_TRUE(origin.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ProxyRefusalTest,
    ::testing::Values(
        RefusedCase{"Connect", "CONNECT 127.0.0.1:ORIGIN HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 501 Not Implemented", false},
        RefusedCase{"PathOnly", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.0 400 Bad Request",
                    false},
        RefusedCase{"UpperCaseScheme", "GET HTTP://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"TooLarge",
                    "POST http://127.0.0.1:ORIGIN/ HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
                    "HTTP/1.0 413 Request Entity Too Large", false},
        RefusedCase{"NoVersion", "GET http://127.0.0.1:ORIGIN/\r\n\r\n", "", true},
        RefusedCase{"ColonWithoutDigits", "GET http://127.0.0.1:/ HTTP/1.1\r\n\r\n", "", true},
        RefusedCase{"PortThatWouldWrapToAnother", "GET http://127.0.0.1:65616/ HTTP/1.1\r\n\r\n",
                    "", true},
        RefusedCase{"OnlyNul", "\0GET http://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n"s, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProxyHandlerTest, FailedUpstreamConnectsCloseTheClientWithoutAnswer) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  std::int32_t closedPort;
  {
    OriginServer gone(OriginScript{});
    closedPort = gone.Port();
  }
  for (const std::string& target :
       {"http://nowhere.invalid/"s, "http://127.0.0.1:" + std::to_string(closedPort) + "/"}) {
    SCOPED_TRACE(target);
    RawPeer client = RawPeer::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send("GET " + target + " HTTP/1.0\r\n\r\n"));
    std::string answer;
    EXPECT_TRUE(client.ReadUntilClosed(answer));
    EXPECT_EQ(answer, "");
    ExpectIdle(proxy);
  }
  EXPECT_TRUE(proxy.View().Of("download").empty());
}

TEST_F(ProxyHandlerTest, ARunEndsWhenItsClientLeavesDuringTheRelay) {
  test::PauseGate gate;
  test::ProxyUnderTest proxy([&](std::int32_t ms) { gate.Pause(ms); });
  OriginServer origin({{{Answer(20000)}}});
  {
    RawPeer client = RawPeer::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(Get(origin.Port())));
    EXPECT_EQ(client.ReadExactly(4000).size(), 4000u);
    ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == 1; }));
    client.Reset();
  }
  gate.Open();
  ExpectIdle(proxy);
}

TEST_F(ProxyHandlerTest, ARunEndsWhenItsClientLeavesWhileTheOriginIsSilent) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginScript silent;
  silent.silentAfter = true;
  OriginServer origin(silent);
  {
    RawPeer client = RawPeer::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(Get(origin.Port())));
    ASSERT_TRUE(origin.WaitForRequests(1));
    EXPECT_EQ(proxy.Counters().ConnectionCount.load(), 1);
  }
  EXPECT_TRUE(test::WaitUntil([&] { return origin.Finished() == 1; }, 5000));
  ExpectIdle(proxy);
}

TEST_F(ProxyHandlerTest, AServerShutdownEndsRunsWaitingOnASilentOrigin) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginScript silent;
  silent.silentAfter = true;
  OriginServer origin(silent);
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  ASSERT_TRUE(origin.WaitForRequests(1));
  proxy.Server().SetTerminateWaitTime(3000);
  EXPECT_NO_THROW(proxy.Server().SetActive(false));  // no "Terminate Thread Timeout"
  EXPECT_EQ(proxy.Counters().ConnectionCount.load(), 0);
}

TEST_F(ProxyHandlerTest, ALimitOfZeroHoldsTheRelayUntilRaised) {
  test::ProxyUnderTest proxy(
      [](std::int32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  proxy.Counters().SpeedLimit = 0;
  const std::string body = Answer(5000);
  OriginServer origin({{{body}}});
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  EXPECT_TRUE(test::WaitUntil([&] { return proxy.View().Of("status").size() >= 3; }));
  EXPECT_EQ(client.ReadExactly(1, 100), "");
  proxy.Counters().SpeedLimit = 2;
  EXPECT_EQ(client.ReadExactly(body.size()), body);
  ExpectIdle(proxy);
}

TEST_F(ProxyHandlerTest, AnUnfinishedRequestIsDroppedAfterTenSilentSeconds) {
  test::ProxyUnderTest proxy([](std::int32_t) {});
  OriginServer origin(OriginScript{});
  RawPeer client = RawPeer::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("GET http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/ HTTP/1.0\r\nHost: x\r\n"));
  auto start = std::chrono::steady_clock::now();
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer, 15000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9500));
  EXPECT_EQ(answer, "");
  EXPECT_TRUE(origin.Requests().empty());
  EXPECT_TRUE(proxy.View().Of("count").empty());
}

}  // namespace
