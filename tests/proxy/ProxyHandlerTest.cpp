#include "proxy/ProxyHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"
#include "support/Pattern.h"
#include "support/ProcessMemory.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::string_literals;
using test::Get;
using test::OriginScript;
using test::OriginServer;
using test::RawClient;
using test::ReadUntilQuiet;

// Random bytes, so every byte value turns up (CR, LF and NUL among them), with what the proxy
// rewrites in a header block planted throughout.
std::string BinaryBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random());
  const std::string planted[] = {"1.1",      "keep-alive", "Keep-Alive", "HTTP/1.1",
                                 "\r\n\r\n", "\r",         "\n",         std::string(1, '\0')};
  for (std::size_t at = 0; at + 16 < size; at += 997)
    bytes.replace(at, planted[at % std::size(planted)].size(), planted[at % std::size(planted)]);
  return bytes;
}

// Empty when the two are equal; otherwise where they first differ, without printing megabytes.
std::string FirstDifference(const std::string& got, const std::string& want) {
  if (got == want) return "";
  auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return "got " + std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
         "; first difference at " + std::to_string(g - got.begin());
}

// Every test ends with the proxy idle again: the count back at 0 and shown as such.
class ProxyHandlerTest : public ::testing::Test {
 protected:
  void ExpectIdle(test::LoopbackProxy& proxy) { EXPECT_TRUE(proxy.WaitUntilIdle()); }
};

TEST_F(ProxyHandlerTest, PacesAnAnswerBySecondsAndPausesOnlyWhenASecondIsUsedUp) {
  test::PauseGate gate;
  test::LoopbackProxy proxy([&](std::int32_t ms) { gate.Pause(ms); });
  const std::string body = test::Pattern(0, 10000);
  OriginServer origin({{{body}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));

  // Each slice is held until the test releases the pause after it: 4000, 4000 and 2000 bytes,
  // the last one short of its second's 4000 and so followed by no pause at all.
  std::string received;
  int slices = 0;
  while (received.size() < body.size() && slices < 10) {
    std::string slice = client.ReadExactly(4000 - received.size() % 4000, 2000);
    if (slice.empty()) break;
    received += slice;
    ++slices;
    if (received.size() == body.size()) break;
    ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == slices; }));
    EXPECT_EQ(client.ReadExactly(1, 100), "") << "bytes arrived during a pause";
    gate.Release();
  }
  EXPECT_EQ(received, body);
  EXPECT_EQ(slices, 3);
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClosed(rest));
  EXPECT_EQ(rest, "");
  ExpectIdle(proxy);
  EXPECT_EQ(gate.Entered(), 2);
  auto status = proxy.View().Of("status");
  ASSERT_EQ(status.size(), 3u);
  EXPECT_EQ(status[0].rfind("Speed limit in action ", 0), 0u);
}

// An origin that writes its header block and its body apart, as servers sending files do, costs
// no extra second: the body goes on in the same second as far as the limit allows.
TEST_F(ProxyHandlerTest, AHeaderBlockWrittenApartFromTheBodySharesItsSecond) {
  test::PauseGate gate;
  test::LoopbackProxy proxy([&](std::int32_t ms) { gate.Pause(ms); });
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 6000\r\n\r\n";
  const std::string body = test::Pattern(0, 6000);
  OriginServer origin({{{head}, {body, 100}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  EXPECT_EQ(client.ReadExactly(4000), head + body.substr(0, 4000 - head.size()));
  ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == 1; }));
  gate.Open();
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClosed(rest));
  EXPECT_EQ(rest, body.substr(4000 - head.size()));
  EXPECT_EQ(gate.Entered(), 1);
  ExpectIdle(proxy);
}

// The limit is read once a second: a change reaches the next second, not the one under way.
TEST_F(ProxyHandlerTest, ALimitChangeTakesEffectAtTheNextSecond) {
  test::PauseGate gate;
  test::LoopbackProxy proxy([&](std::int32_t ms) { gate.Pause(ms); });
  const std::string body = test::Pattern(0, 9000);
  OriginServer origin({{{body}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  EXPECT_EQ(client.ReadExactly(4000), body.substr(0, 4000));
  ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == 1; }));
  proxy.Settings().SpeedLimit = 1;
  gate.Release();
  EXPECT_EQ(client.ReadExactly(1000), body.substr(4000, 1000));
  ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == 2; }));
  EXPECT_EQ(client.ReadExactly(1, 100), "");
  gate.Open();
  EXPECT_EQ(client.ReadExactly(4000), body.substr(5000));
  ExpectIdle(proxy);
}

TEST_F(ProxyHandlerTest, RewritesOnlyTheHeaderBlockThoughItArrivesInPieces) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.1 200 OK\r\nConnection: Keep-"},
                        {"Alive\r\n\r\nkeep-al", 300},
                        {"ive 10.1.1.1", 300},
                        {"\r\n", 300}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nkeep-alive 10.1.1.1\r\n");
  ExpectIdle(proxy);
  // The block is held until whole; of the body chunks, the one without a line break is not shown.
  EXPECT_EQ(
      proxy.View().Of("download"),
      (std::vector<std::string>{"Connected to 127.0.0.1",
                                "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nkeep-al", "\r\n"}));
}

TEST_F(ProxyHandlerTest, RelaysABinaryAnswerByteForByte) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  proxy.Settings().SpeedLimit = 65535;
  const std::string body = BinaryBytes(5 << 20, 1);
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  OriginServer origin(
      {{{"HTTP/1.1 200 OK\r\n" + length + "Connection: Keep-"}, {"Alive\r\n\r\n" + body, 50}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer, 20000));
  const std::string head = "HTTP/1.0 200 OK\r\n" + length + "Connection: close\r\n\r\n";
  EXPECT_EQ(FirstDifference(answer, head + body), "");
  ExpectIdle(proxy);

  // Chunks with a line break are shown as they were sent, in order, the first with the block.
  const auto download = proxy.View().Of("download");
  ASSERT_GE(download.size(), 2u);
  EXPECT_EQ(download[1].substr(0, head.size()), head);
  std::size_t at = 0;
  for (std::size_t i = 1; i < download.size(); ++i) {
    EXPECT_NE(download[i].find("\r\n"), std::string::npos);
    at = answer.find(download[i], at);
    ASSERT_NE(at, std::string::npos) << "shown chunk " << i << " is not what was sent";
    at += download[i].size();
  }
}

TEST_F(ProxyHandlerTest, AHeaderLineSplitBetweenWritesReachesTheOriginWhole) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.0 200 OK\r\n\r\nok"}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  // Like a client's delayed second write; the CR and LF of one line end come apart too.
  const std::string writes[] = {
      "POST http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\nContent-Len",
      "gth: 4\r", "\n\r\nab", "cd"};
  for (const std::string& write : writes) {
    ASSERT_TRUE(client.Send(write));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0],
            "POST / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                "\r\nContent-Length: 4\r\n\r\nabcd");
}

TEST_F(ProxyHandlerTest, ForwardsABinaryBodyByteForByteHoweverItIsCut) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.0 200 OK\r\n\r\n"}}});
  const std::string body = BinaryBytes(5 << 20, 2);
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/up HTTP/1.1\r\n" + length + "Connection: keep-alive\r\n\r\n"));
  std::mt19937 random(3);
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t size = std::min<std::size_t>(1 + random() % 131072, body.size() - at);
    ASSERT_TRUE(client.Send(std::string_view(body).substr(at, size)));
    at += size;
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 8));
  }
  ASSERT_TRUE(origin.WaitForRequests(1, 30000));
  EXPECT_EQ(FirstDifference(origin.Requests()[0], "POST /up HTTP/1.0\r\nHost: 127.0.0.1:" +
                                                      std::to_string(origin.Port()) + "\r\n" +
                                                      length + "Connection: close\r\n\r\n" + body),
            "");
}

// The body streams through: neither the proxy nor anything else here holds it whole.
TEST_F(ProxyHandlerTest, StreamsAHugeUploadInBoundedMemory) {
  constexpr std::int64_t kBody = std::int64_t{200} << 20;
  constexpr std::size_t kBlock = 65536;
  // Sent and checked block by block from one pattern, whose period of 251 no block size shares.
  const std::string pattern = test::Pattern(0, 251 + kBlock);
  const std::string forwarded =
      "POST /up HTTP/1.0\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
  std::int64_t checked = 0;
  bool matches = true;
  OriginScript script{{{"HTTP/1.0 204 No Content\r\n\r\n"}}};
  script.readWaitMs = 10000;
  // Host names the origin's port, which as an ephemeral one has five digits.
  script.keepBytes = forwarded.size() + std::string_view("Host: 127.0.0.1:65535\r\n").size();
  script.sink = [&](std::string_view bytes) {
    for (std::size_t n; !bytes.empty(); bytes.remove_prefix(n), checked += n) {
      n = std::min(bytes.size(), kBlock);
      matches = matches && std::memcmp(bytes.data(), pattern.data() + checked % 251, n) == 0;
    }
  };
  OriginServer origin(script);
  ASSERT_GE(origin.Port(), 10000);
  test::LoopbackProxy proxy([](std::int32_t) {});

  ASSERT_TRUE(test::ResetPeakResident());
  const std::int64_t residentBefore = test::ResidentKb();
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/up HTTP/1.1\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n"));
  for (std::int64_t at = 0; at < kBody; at += kBlock) {
    const auto size = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, kBody - at));
    ASSERT_TRUE(client.Send(std::string_view(pattern).substr(at % 251, size)));
  }
  ASSERT_TRUE(origin.WaitForRequests(1, 60000));
  EXPECT_EQ(origin.Requests()[0], "POST /up HTTP/1.0\r\nHost: 127.0.0.1:" +
                                      std::to_string(origin.Port()) + forwarded.substr(17));
  EXPECT_EQ(checked, kBody);
  EXPECT_TRUE(matches);
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer, "HTTP/1.0 204 No Content\r\n\r\n");
  EXPECT_LT(test::PeakResidentKb() - residentBefore, 20'000'000 / 1024);
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
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.0 200 OK\r\n\r\n"}}});
  std::string request = GetParam().request;
  for (std::size_t at; (at = request.find("ORIGIN")) != std::string::npos;)
    request.replace(at, 6, std::to_string(origin.Port()));
  for (std::size_t at; (at = request.find("PROXY")) != std::string::npos;)
    request.replace(at, 5, std::to_string(proxy.Port()));
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(request));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  if (GetParam().answer.empty()) {
    EXPECT_EQ(answer, "");
  } else {
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().answer);
    // Its body is one line saying why.
    const std::string body = answer.substr(std::min(answer.find("\r\n\r\n") + 4, answer.size()));
    EXPECT_TRUE(body.starts_with("Tramlet ") && body.find("\r\n") == body.size() - 2) << body;
  }
  ExpectIdle(proxy);
  EXPECT_EQ(proxy.View().Of("count").size(), GetParam().counted ? 2u : 0u);
  EXPECT_TRUE(proxy.View().Of("upload").empty());
  EXPECT_TRUE(origin.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ProxyRefusalTest,
    ::testing::Values(
        RefusedCase{"ConnectWithoutPortNumber", "CONNECT host: HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ConnectToPortZero", "CONNECT host:0 HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ConnectToPortAbove65535", "CONNECT host:70000 HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ConnectWithoutPort", "CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ConnectToAnIPv6LiteralWhereNothingListens",
                    "CONNECT [::1]:ORIGIN HTTP/1.1\r\n\r\n", "HTTP/1.0 502 Bad Gateway", true},
        RefusedCase{"ConnectWithoutVersion", "CONNECT 127.0.0.1:ORIGIN\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"PathOnly", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.0 400 Bad Request",
                    false},
        RefusedCase{"UpperCaseScheme", "GET HTTP://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{
            "HeaderBlockTooLarge",
            "GET http://127.0.0.1:ORIGIN/ HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n",
            "HTTP/1.0 431 Request Header Fields Too Large", false},
        RefusedCase{"UrlInTheQueryOfAPath",
                    "GET /x?u=http://127.0.0.1:ORIGIN/ HTTP/1.1\r\nHost: x\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"UrlAfterAnotherWord", "GET x http://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"UrlInTheMethod",
                    "Xhttp://127.0.0.1:ORIGIN/ http://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ContentLengthWithALetterAfterAHugeNumber",
                    "POST http://127.0.0.1:ORIGIN/ HTTP/1.1\r\n"
                    "Content-Length: 99999999999999999999x\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ContentLengthInHex",
                    "POST http://127.0.0.1:ORIGIN/ HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"ContentLengthEmpty",
                    "POST http://127.0.0.1:ORIGIN/ HTTP/1.1\r\nContent-Length:\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"LoopThroughOurListener", "GET http://127.0.0.1:PROXY/ HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 508 Loop Detected", true},
        RefusedCase{"LoopThroughLocalhostByName", "GET http://LocalHost:PROXY/a HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 508 Loop Detected", true},
        RefusedCase{"LoopThroughTheUnspecifiedAddress",
                    "GET http://0.0.0.0:PROXY/ HTTP/1.1\r\n\r\n", "HTTP/1.0 508 Loop Detected",
                    true},
        RefusedCase{"TunnelLoop", "CONNECT 127.0.0.1:PROXY HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 508 Loop Detected", true},
        RefusedCase{"NoVersion", "GET http://127.0.0.1:ORIGIN/\r\n\r\n", "HTTP/1.0 400 Bad Request",
                    false},
        RefusedCase{"NoPath", "GET http://127.0.0.1:ORIGIN HTTP/1.1\r\n\r\n",
                    "HTTP/1.0 400 Bad Request", false},
        RefusedCase{"OnlyNul", "\0GET http://127.0.0.1:ORIGIN/ HTTP/1.1\r\n\r\n"s,
                    "HTTP/1.0 400 Bad Request", false}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Failures before any answer: the client gets 502 with a line saying what failed, as the pane does.
TEST_F(ProxyHandlerTest, FailuresBeforeAnAnswerAreExplainedWithBadGateway) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  std::int32_t closedPort;
  {
    OriginServer gone(OriginScript{});
    closedPort = gone.Port();
  }
  OriginServer mute(OriginScript{});  // reads the request and closes without a word
  const std::string refused = "127.0.0.1:" + std::to_string(closedPort);
  const std::string closes = "127.0.0.1:" + std::to_string(mute.Port());
  const std::pair<std::string, std::string> cases[] = {
      {"nowhere.invalid", "could not connect to nowhere.invalid:80: Host not found"},
      {"[::1]:81", "could not connect to [::1]:81: Connection refused"},
      {"127.0.0.1:", "could not connect to 127.0.0.1: invalid port ''"},
      {"127.0.0.1:65616", "could not connect to 127.0.0.1: invalid port '65616'"},
      {refused, "could not connect to " + refused + ": Connection refused"},
      {closes, "got no answer from " + closes + ": the connection was closed"}};
  for (const auto& [host, text] : cases) {
    SCOPED_TRACE(host);
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send("GET http://" + host + "/ HTTP/1.0\r\n\r\n"));
    std::string answer;
    EXPECT_TRUE(client.ReadUntilClosed(answer));
    const std::string line = "Tramlet " + text;
    EXPECT_EQ(answer, "HTTP/1.0 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: " +
                          std::to_string(line.size() + 2) + "\r\nConnection: close\r\n\r\n" + line +
                          "\r\n");
    ExpectIdle(proxy);
    EXPECT_EQ(proxy.View().Of("download").back(), line);
  }
}

TEST_F(ProxyHandlerTest, ARunEndsWhenItsClientLeavesDuringTheRelay) {
  test::PauseGate gate;
  test::LoopbackProxy proxy([&](std::int32_t ms) { gate.Pause(ms); });
  OriginServer origin({{{test::Pattern(0, 20000)}}});
  {
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(Get(origin.Port())));
    EXPECT_EQ(client.ReadExactly(4000).size(), 4000u);
    ASSERT_TRUE(test::WaitUntil([&] { return gate.Entered() == 1; }));
    client.Reset();
  }
  gate.Open();
  ExpectIdle(proxy);
}

// One run under way, its request read by an origin that then stays silent.
class SilentOriginTest : public ProxyHandlerTest {
 protected:
  static OriginScript Silent() {
    OriginScript script;
    script.silentAfter = true;
    return script;
  }
  void SetUp() override {
    ASSERT_TRUE(client.Send(Get(origin.Port())));
    ASSERT_TRUE(origin.WaitForRequests(1));
  }

  test::LoopbackProxy proxy{[](std::int32_t) {}};
  OriginServer origin{Silent()};
  RawClient client = RawClient::ConnectTo(proxy.Port());
};

TEST_F(SilentOriginTest, ARunEndsWhenItsClientLeaves) {
  EXPECT_EQ(proxy.Counters().ConnectionCount.load(), 1);
  client.Reset();
  EXPECT_TRUE(test::WaitUntil([&] { return origin.Finished() == 1; }, 5000));
  ExpectIdle(proxy);
}

TEST_F(SilentOriginTest, AServerShutdownEndsTheRun) {
  proxy.Server().SetTerminateWaitTime(3000);
  EXPECT_NO_THROW(proxy.Server().SetActive(false));  // no "Terminate Thread Timeout"
  EXPECT_EQ(proxy.Counters().ConnectionCount.load(), 0);
}

// An origin that trickles a header block that never ends: a client that leaves frees its run
// within a look, and one that stays is told so at the deadline.
TEST_F(ProxyHandlerTest, AHeaderBlockThatNeverEndsHoldsNoRun) {
  proxy::RunLimits limits;
  limits.AnswerHeadDeadline = std::chrono::milliseconds(1500);
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  std::vector<test::OriginStep> steps{{"HTTP/1.1 200 OK\r\nX-Slow: "}};
  steps.resize(30, {"x", 100});
  OriginServer origin({steps});
  RawClient leaves = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(leaves.Send(Get(origin.Port())));
  ASSERT_TRUE(origin.WaitForRequests(1));
  leaves.Reset();
  EXPECT_TRUE(test::WaitUntil([&] { return proxy.Counters().ConnectionCount.load() == 0; }, 1000));
  RawClient stays = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(stays.Send(Get(origin.Port())));
  std::string answer;
  EXPECT_TRUE(stays.ReadUntilClosed(answer));
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.0 504 Gateway Timeout");
  EXPECT_NE(answer.find("no answer from 127.0.0.1:"), std::string::npos);
  ExpectIdle(proxy);
}

// Whatever the origin sends meanwhile, a stop reaches a run that waits for the answer's header
// block within the server's wait.
TEST_F(ProxyHandlerTest, AServerShutdownEndsARunWaitingOnATricklingOrigin) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  std::vector<test::OriginStep> steps{{"HTTP/1.1 200 OK\r\nX-Slow: "}};
  steps.resize(100, {"x", 100});
  OriginServer origin({steps});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  ASSERT_TRUE(origin.WaitForRequests(1));
  proxy.Server().SetTerminateWaitTime(3000);
  EXPECT_NO_THROW(proxy.Server().SetActive(false));  // no "Terminate Thread Timeout"
  EXPECT_EQ(proxy.Counters().ConnectionCount.load(), 0);
}

TEST_F(ProxyHandlerTest, ALimitOfZeroHoldsTheRelayUntilRaised) {
  test::LoopbackProxy proxy(
      [](std::int32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  proxy.Settings().SpeedLimit = 0;
  const std::string body = test::Pattern(0, 5000);
  OriginServer origin({{{body}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  EXPECT_TRUE(test::WaitUntil([&] { return proxy.View().Of("status").size() >= 3; }));
  EXPECT_EQ(client.ReadExactly(1, 100), "");
  proxy.Settings().SpeedLimit = 2;
  EXPECT_EQ(client.ReadExactly(body.size()), body);
  ExpectIdle(proxy);
}

// Clients that never finish their request: each has a deadline, and all but the silent one are
// told why they are dropped.
struct UnfinishedCase {
  const char* name;
  std::vector<std::string> pieces;  // sent 60 ms apart
  std::string answer;
  std::int32_t atLeastMs;  // not answered before this
};

class UnfinishedRequestTest : public ProxyHandlerTest,
                              public ::testing::WithParamInterface<UnfinishedCase> {};

TEST_P(UnfinishedRequestTest, IsAnsweredWhenItsTimeIsUp) {
  proxy::RunLimits limits;
  limits.HeaderDeadline = std::chrono::milliseconds(700);
  limits.RequestStall = std::chrono::milliseconds(300);
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  // An origin that answered the body's first bytes before the proxy gave up would rightly be
  // relayed; this one waits longer than the proxy does.
  OriginScript script = ReadUntilQuiet("HTTP/1.0 204 No Content\r\n\r\n");
  script.readWaitMs = 3000;
  OriginServer origin(script);
  const std::string target = "http://127.0.0.1:" + std::to_string(origin.Port()) + "/";
  const auto start = std::chrono::steady_clock::now();
  RawClient client = RawClient::ConnectTo(proxy.Port());
  std::string answer;
  // A slow client: a piece, then 60 ms of listening; it stops once it is answered.
  for (std::string piece : GetParam().pieces) {
    if (!answer.empty()) break;
    if (auto at = piece.find("TARGET"); at != std::string::npos) piece.replace(at, 6, target);
    ASSERT_TRUE(client.Send(piece));
    answer += client.ReadExactly(1, 60);
  }
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClosed(rest, 5000));
  answer += rest;
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(GetParam().atLeastMs));
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().answer);
  ExpectIdle(proxy);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, UnfinishedRequestTest,
    ::testing::Values(UnfinishedCase{"SilentFromTheStart", {}, "", 650},
                      UnfinishedCase{"StopsInsideTheHeaderBlock",
                                     {"GET TARGET HTTP/1.0\r\nHost: x\r\n"},
                                     "HTTP/1.0 408 Request Timeout",
                                     300},
                      UnfinishedCase{"TricklesPastTheDeadline",
                                     {"GET TARGET HTTP/1.0\r\n", "A", "B", "C", "D", "E", "F", "G",
                                      "H", "I", "J", "K", "L", "M", "N", "O", "P"},
                                     "HTTP/1.0 408 Request Timeout",
                                     650},
                      UnfinishedCase{"StopsInsideAnAnnouncedBody",
                                     {"POST TARGET HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc"},
                                     "HTTP/1.0 408 Request Timeout",
                                     300}),
    [](const auto& instance) { return std::string(instance.param.name); });

// What origins that speak HTTP/1.1 do, and what reaches each side (HOST: the origin's authority).
struct Http11Case {
  const char* name;
  std::string request;   // TARGET stands for the origin's URL
  std::string answer10;  // to requests in HTTP/1.0
  std::string answer11;  // to requests in HTTP/1.1
  std::vector<std::string> upstream;
  std::string received;  // the start of what the client gets
  bool reset = false;
};

class Http11OriginTest : public ProxyHandlerTest,
                         public ::testing::WithParamInterface<Http11Case> {};

TEST_P(Http11OriginTest, GetsAnAnswerTheClientCanRead) {
  const Http11Case& c = GetParam();
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginScript script;
  script.answerFor = [&c](const std::string& request) {
    return std::vector<test::OriginStep>{
        {request.find(" HTTP/1.1\r\n") == std::string::npos ? c.answer10 : c.answer11}};
  };
  OriginServer origin(script);
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  std::string request = c.request;
  request.replace(request.find("TARGET"), 6, "http://" + host);
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(request));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer.substr(0, c.received.size()), c.received);
  EXPECT_EQ(client.WasReset(), c.reset);
  ExpectIdle(proxy);
  std::vector<std::string> upstream = c.upstream;
  for (std::string& sent : upstream)
    sent.replace(sent.find("HOST"), 4, host);
  EXPECT_EQ(origin.Requests(), upstream);
}

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, Http11OriginTest,
    ::testing::Values(
        Http11Case{"RefusedHttp10IsAskedAgainInHttp11",
                   "GET TARGET/a HTTP/1.1\r\nHost: evil.example\r\nHost: x\r\n\r\n",
                   "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 0\r\n\r\n",
                   "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                   {"GET /a HTTP/1.0\r\nHost: HOST\r\n\r\n",
                    "GET /a HTTP/1.1\r\nHost: HOST\r\nConnection: close\r\n\r\n"},
                   "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"},
        Http11Case{
            "ABodyGoesAgainWithTheRequest",
            "POST TARGET/ HTTP/1.1\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\nhello",
            "HTTP/1.1 505 HTTP Version Not Supported\r\n\r\n",
            "HTTP/1.1 201 Created\r\n\r\n",
            {"POST / HTTP/1.0\r\nHost: HOST\r\nContent-Length: 5\r\nConnection: close\r\n\r\n"
             "hello",
             "POST / HTTP/1.1\r\nHost: HOST\r\nContent-Length: 5\r\nConnection: close\r\n\r\n"
             "hello"},
            "HTTP/1.0 201 Created\r\n\r\n"},
        Http11Case{"ChunkedAnswerGoesDecoded",
                   "GET TARGET/ HTTP/1.1\r\n\r\n",
                   kChunkedHead + "Content-Length: 99\r\n\r\n5;x=1\r\nhello\r\n6\r\n world\r\n"
                                  "0\r\nTrailer: t\r\n\r\n",
                   "",
                   {"GET / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 200 OK\r\n\r\nhello world"},
        Http11Case{"ChunkedAnswerCutShortResetsTheClient",
                   "GET TARGET/ HTTP/1.1\r\n\r\n",
                   kChunkedHead + "\r\n5\r\nhel",
                   "",
                   {"GET / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 200 OK\r\n\r\nhel",
                   true},
        Http11Case{"MalformedChunkResetsTheClient",
                   "GET TARGET/ HTTP/1.1\r\n\r\n",
                   kChunkedHead + "\r\n2\r\nhi\r\nzz\r\n",
                   "",
                   {"GET / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 200 OK\r\n\r\nhi",
                   true},
        Http11Case{"DifferingLengths",
                   "GET TARGET/ HTTP/1.1\r\n\r\n",
                   "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
                   "",
                   {"GET / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 502 Bad Gateway"},
        Http11Case{
            "UnaskedSwitchOfProtocols",
            "GET TARGET/ HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n",
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n",
            "",
            {"GET / HTTP/1.0\r\nHost: HOST\r\nConnection: close\r\nUpgrade: websocket\r\n\r\n"},
            "HTTP/1.0 502 Bad Gateway"},
        Http11Case{"AnswerInAnotherCoding",
                   "GET TARGET/ HTTP/1.1\r\n\r\n",
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
                   "",
                   {"GET / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 502 Bad Gateway"},
        Http11Case{"HeadAnswerLosesItsCoding",
                   "HEAD TARGET/ HTTP/1.1\r\n\r\n",
                   kChunkedHead + "X: y\r\n\r\n",
                   "",
                   {"HEAD / HTTP/1.0\r\nHost: HOST\r\n\r\n"},
                   "HTTP/1.0 200 OK\r\nX: y\r\n\r\n"},
        Http11Case{"AnExpectationOtherThanContinue",
                   "PUT TARGET/ HTTP/1.1\r\nExpect: 200-ok\r\nContent-Length: 1\r\n\r\nx",
                   "",
                   "",
                   {},
                   "HTTP/1.0 417 Expectation Failed"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The proxy says 100 Continue itself; the origin, asked in HTTP/1.0, should not, and when it does
// the client does not hear it twice.
TEST_F(ProxyHandlerTest, AClientExpectingContinueHearsItBeforeItsBodyGoes) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({{{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 204 No Content\r\n\r\n"}}});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("PUT http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/f HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 2\r\n\r\n"));
  EXPECT_EQ(client.ReadExactly(25, 2000), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(client.Send("ok"));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer, "HTTP/1.0 204 No Content\r\n\r\n");
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0],
            "PUT /f HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                "\r\nContent-Length: 2\r\n\r\nok");
  ExpectIdle(proxy);
}

// A 426 relayed to a request that could not be asked again still teaches how to ask that origin.
TEST_F(ProxyHandlerTest, AnOriginRefusingHttp10IsRememberedWhateverTheRequest) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginScript script;
  script.answerFor = [](const std::string& request) {
    return std::vector<test::OriginStep>{{request.find(" HTTP/1.1\r\n") != std::string::npos
                                              ? "HTTP/1.1 201 Created\r\n\r\n"
                                              : "HTTP/1.1 426 Upgrade Required\r\n\r\n"}};
  };
  OriginServer origin(script);
  const std::string post = "POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                           "/ HTTP/1.1\r\nContent-Length: 65537\r\n\r\n" + std::string(65537, 'a');
  for (const std::string status : {"HTTP/1.0 426 Upgrade Required", "HTTP/1.0 201 Created"}) {
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(post));
    std::string answer;
    EXPECT_TRUE(client.ReadUntilClosed(answer));
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), status);
  }
  ExpectIdle(proxy);
}

// An interim answer while the body goes up reaches the client, and the body goes on whole.
TEST_F(ProxyHandlerTest, AnInterimAnswerDuringAnUploadLeavesTheBodyWhole) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginScript script{{{"HTTP/1.1 201 Created\r\n\r\n"}}};
  script.afterHead = "HTTP/1.1 102 Processing\r\n\r\n";
  OriginServer origin(script);
  const std::string body = test::Pattern(0, 1 << 20);
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send("POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                          "/ HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n"));
  for (std::size_t at = 0; at < body.size(); at += 65536)
    ASSERT_TRUE(client.Send(body.substr(at, 65536)));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer, "HTTP/1.0 102 Processing\r\n\r\nHTTP/1.0 201 Created\r\n\r\n");
  ASSERT_TRUE(origin.WaitForRequests(1));
  const std::string upstream = origin.Requests()[0];
  EXPECT_EQ(upstream.substr(upstream.find("\r\n\r\n") + 4), body);
  ExpectIdle(proxy);
}

// A client that has finished sending is not waited on for ever: once the answer stops moving for
// the deadline, wherever it stands, the run ends; so it does while the limit holds the relay.
TEST_F(ProxyHandlerTest, ARunWhoseClientFinishedEndsWhenTheAnswerStopsMoving) {
  for (const std::int32_t limit : {4, 0}) {
    SCOPED_TRACE(limit);
    proxy::RunLimits limits;
    limits.IdleLimit = std::chrono::milliseconds(1500);
    test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
    proxy.Settings().SpeedLimit = limit;
    OriginScript script{{{"HTTP/1.0 200 OK\r\n\r\nsome of it"}}};
    script.silentAfter = true;
    OriginServer origin(script);
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send(Get(origin.Port())));
    // Held by the limit, a client that gave up and closed looks the same as one that finished.
    if (limit == 0) {
      ASSERT_TRUE(origin.WaitForRequests(1));
      client.Close();
    } else {
      client.ShutdownWrite();
    }
    ASSERT_TRUE(origin.WaitForRequests(1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::WaitUntil([&] { return origin.Finished() == 1; }, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    ExpectIdle(proxy);
  }
}

// Held bodies share one budget: while it is spent, a request that needs more of it gets 503 and
// nothing goes upstream; a body that ends gives its share back before its client hears the end.
TEST_F(ProxyHandlerTest, HeldBodiesShareOneBudget) {
  proxy::RunLimits limits;
  limits.BodyBudgetBytes = 1 << 20;
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .limits = limits});
  OriginServer origin({{{"HTTP/1.0 204 No Content\r\n\r\n"}}});
  const std::string head = "POST http://127.0.0.1:" + std::to_string(origin.Port()) +
                           "/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  constexpr std::int64_t kBody = 0x64000;  // 400 KiB: two fit, a third does not
  const std::string chunk = "64000\r\n" + std::string(kBody, 'a') + "\r\n";
  std::vector<RawClient> clients;
  for (std::int64_t held = kBody; held <= 2 * kBody; held += kBody) {
    clients.push_back(RawClient::ConnectTo(proxy.Port()));
    ASSERT_TRUE(clients.back().Send(head + chunk));
    ASSERT_TRUE(test::WaitUntil([&] { return proxy.Handler().BodyBudgetUsed() >= held; }));
  }
  RawClient third = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(third.Send(head + chunk));
  std::string answer;
  EXPECT_TRUE(third.ReadUntilClosed(answer));
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.0 503 Service Unavailable");
  EXPECT_NE(answer.find("no room to hold"), std::string::npos);
  // Each body that ends makes room for the next request at once.
  for (RawClient& client : clients) {
    ASSERT_TRUE(client.Send("0\r\n\r\n"));
    answer.clear();
    EXPECT_TRUE(client.ReadUntilClosed(answer));
    EXPECT_EQ(answer, "HTTP/1.0 204 No Content\r\n\r\n");
    RawClient next = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(next.Send(head + chunk + "0\r\n\r\n"));
    answer.clear();
    EXPECT_TRUE(next.ReadUntilClosed(answer));
    EXPECT_EQ(answer, "HTTP/1.0 204 No Content\r\n\r\n");
  }
  EXPECT_EQ(origin.Requests().size(), 4u);
  EXPECT_EQ(proxy.Handler().BodyBudgetUsed(), 0);
  ExpectIdle(proxy);
}

// An origin on ::1 alone - a dev server started on localhost, say - is reached by its literal,
// by localhost, and through a tunnel.
TEST_F(ProxyHandlerTest, ReachesAnOriginListeningOnIPv6LoopbackAlone) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginScript script{{{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nv6"}}};
  script.ipv6 = true;
  OriginServer origin(script);
  const std::string port = std::to_string(origin.Port());
  for (const std::string host : {"[::1]", "localhost"}) {
    RawClient client = RawClient::ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Send("GET http://" + host + ":" + port + "/ HTTP/1.1\r\n\r\n"));
    std::string answer;
    EXPECT_TRUE(client.ReadUntilClosed(answer));
    EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nv6") << host;
    ExpectIdle(proxy);
  }
  RawClient tunnel = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(tunnel.Send("CONNECT [::1]:" + port + " HTTP/1.1\r\n\r\nGET / HTTP/1.0\r\n\r\n"));
  std::string answer;
  EXPECT_TRUE(tunnel.ReadUntilClosed(answer));
  EXPECT_EQ(answer,
            "HTTP/1.0 200 Connection established\r\n\r\n"
            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nv6");
  ExpectIdle(proxy);
  EXPECT_EQ(origin.Requests(),
            (std::vector<std::string>{"GET / HTTP/1.0\r\nHost: [::1]:" + port + "\r\n\r\n",
                                      "GET / HTTP/1.0\r\nHost: localhost:" + port + "\r\n\r\n",
                                      "GET / HTTP/1.0\r\n\r\n"}));
}

}  // namespace
