#include "proxy/http/AnswerFraming.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ProxyTestSupport.h"
#include "proxy/http/ChunkedCoding.h"
#include "support/RawClient.h"

namespace {

using proxy::http::AnswerFraming;
using proxy::http::BodyFraming;
using test::Get;
using test::OriginServer;
using test::RawClient;
using Step = AnswerFraming::Step;

struct HeadCase {
  const char* name;
  std::string answer;
  bool closed;
  std::optional<std::size_t> length;  // none: not ended, or too long when tooLong
  bool tooLong = false;
};

void PrintTo(const HeadCase& c, std::ostream* os) {
  *os << c.name;
}

// What the relay sends: the block rewritten, then the rest as it came.
std::string Sent(const AnswerFraming& framing, const std::string& answer) {
  return framing.Block() + answer.substr(framing.Taken());
}

class AnswerHeadTest : public ::testing::TestWithParam<HeadCase> {};

// Fed whole, and fed as it might arrive - growing by one byte at a time - the same bytes go out.
TEST_P(AnswerHeadTest, SendsTheSameHoweverTheAnswerArrives) {
  const HeadCase& c = GetParam();
  AnswerFraming whole(false);
  const Step once = whole.Read(c.answer, c.closed);
  ASSERT_EQ(once == Step::Final || once == Step::Interim, c.length.has_value());
  if (c.length) {
    EXPECT_EQ(whole.Taken(), *c.length);
  }
  AnswerFraming growing(false);
  Step step = Step::More;
  for (std::size_t size = 0; size <= c.answer.size() && step == Step::More; ++size)
    step = growing.Read(std::string_view(c.answer).substr(0, size),
                        c.closed && size == c.answer.size());
  EXPECT_EQ(step == Step::TooLarge, c.tooLong);
  ASSERT_EQ(step == Step::Final || step == Step::Interim, c.length.has_value());
  if (c.length) {
    EXPECT_EQ(Sent(growing, c.answer), Sent(whole, c.answer));
  }
}

const std::string kLong(AnswerFraming::kMaxHeadBytes + 10, 'x');

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerHeadTest,
    ::testing::Values(
        HeadCase{"CrLf", "HTTP/1.1 200 OK\r\nA: keep-alive\r\n\r\nkeep-alive 1.1\r\n\r\n", false,
                 34},
        HeadCase{"LfOnly", "HTTP/1.1 200 OK\nA: b\n\nbody", false, 22},
        HeadCase{"LoneCr", "HTTP/1.1 200 OK\rA: b\r\rbody", false, 22},
        HeadCase{"LfCrEndsTheBlock", "HTTP/1.1 200 OK\n\rbody", false, 17},
        HeadCase{"NotYetEnded", "HTTP/1.1 200 OK\r\nA: b\r\n", false, std::nullopt},
        HeadCase{"ClosedBeforeItEnded", "HTTP/1.1 200 OK\r\nA: b", true, 21},
        HeadCase{"NoEndWithinTheLimit", kLong + "\r\n\r\n", false, std::nullopt, true},
        HeadCase{"ItsLastLfPastTheLimit",
                 std::string(AnswerFraming::kMaxHeadBytes - 3, 'x') + "\r\n\r\nbody", false,
                 std::nullopt, true},
        HeadCase{"EndsRightAtTheLimit",
                 std::string(AnswerFraming::kMaxHeadBytes - 4, 'x') + "\r\n\r\nbody", false,
                 AnswerFraming::kMaxHeadBytes}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The blocks an answer yields, read from bytes cut at one point: interim ones as they come, the
// final one with its framing, the same wherever the cut falls.
std::vector<std::string> Blocks(const std::string& answer, std::size_t cut, BodyFraming& body) {
  AnswerFraming framing(false);
  std::vector<std::string> blocks;
  std::size_t start = 0;
  for (const std::size_t held : {cut, answer.size()}) {
    for (Step step; (step = framing.Read(std::string_view(answer).substr(start, held - start),
                                         held == answer.size())) != Step::More;) {
      if (step == Step::TooLarge) return {"too large"};
      blocks.push_back(framing.Block());
      start += framing.Taken();
      if (step == Step::Final) {
        body = framing.Body();
        return blocks;
      }
    }
  }
  return blocks;
}

TEST(AnswerBlocksTest, InterimAndFinalBlocksAreTheSameWhereverTheBytesAreCut) {
  const std::string answer =
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\nLink: </a>\n\n"
      "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok";
  const std::vector<std::string> expected{
      "HTTP/1.0 100 Continue\r\n\r\n", "HTTP/1.0 103 Early Hints\nLink: </a>\n\n",
      "HTTP/1.0 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n"};
  for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
    BodyFraming body;
    ASSERT_EQ(Blocks(answer, cut, body), expected) << "cut at " << cut;
    EXPECT_EQ(body.Framing, BodyFraming::Kind::Length);
    EXPECT_EQ(body.Length, 2);
  }
}

// A chunked body decodes the same however it is cut, and a cut before its last chunk is seen.
TEST(ChunkedAnswerTest, DecodesTheSameWhereverTheBytesAreCut) {
  const std::string body =
      "5;ext=1\r\nhello\r\n1\r\n\n\r\nA\r\n0123456789\r\n0\r\nT: x\r\n\r\nafter";
  for (std::size_t cut = 0; cut <= body.size(); ++cut) {
    proxy::http::ChunkedDecoder decoder;
    std::string out;
    std::size_t taken = decoder.Append(std::string_view(body).substr(0, cut), out);
    const bool ended = decoder.Status() == proxy::http::ChunkedDecoder::State::Done;
    EXPECT_EQ(ended, cut >= body.size() - 5) << "cut at " << cut;
    taken += decoder.Append(std::string_view(body).substr(taken), out);
    EXPECT_EQ(out, "hello\n0123456789") << "cut at " << cut;
    EXPECT_EQ(taken, body.size() - 5);
  }
}

TEST(AnswerBodyTest, IsFramedByTheStatusAndTheFramingFields) {
  struct Case {
    std::string block;
    bool headRequest;
    BodyFraming::Kind framing;
    std::int64_t length;
  };
  using Kind = BodyFraming::Kind;
  const Case cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n", false, Kind::Length, 12},
      {"HTTP/1.0 200 OK\r\ncontent-length: 7, 7\r\nContent-Length: 7\r\n\r\n", false, Kind::Length,
       7},
      {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n", true, Kind::Length, 0},
      {"HTTP/1.0 204 No Content\r\nContent-Length: 12\r\n\r\n", false, Kind::Length, 0},
      {"HTTP/1.0 304 Not Modified\r\n\r\n", false, Kind::Length, 0},
      {"HTTP/1.0 101 Switching Protocols\r\nContent-Length: 0\r\n\r\n", true, Kind::UntilClose, 0},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", false,
       Kind::Chunked, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", false,
       Kind::Conflicting, 0},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false, Kind::OtherCoding, 0},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", false,
       Kind::OtherCoding, 0},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", true, Kind::Length, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0x10\r\n\r\n", false, Kind::UntilClose, 0},
      {"HTTP/1.0 200 OK\r\n\r\n", false, Kind::UntilClose, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    AnswerFraming framing(c.headRequest);
    framing.Read(c.block, true);
    const BodyFraming body = framing.Body();
    EXPECT_EQ(body.Framing, c.framing);
    EXPECT_EQ(body.Length, c.length);
  }
}

// A line dropped from a block leaves the lines around it as they were: a lone CR before it does
// not pair with an LF after it, which would swallow the empty line that ends the block.
TEST(AnswerBlockTest, ADroppedLineLeavesTheLineEndsAroundIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 200 OK\rKeep-Alive: 5\n\nok", "HTTP/1.0 200 OK\r\n\n"},
      {"HTTP/1.1 200 OK\rTransfer-Encoding: chunked\n\n0\r\n\r\n", "HTTP/1.0 200 OK\r\n\n"},
      {"HTTP/1.1 200 OK\nConnection: a,\n b\rKeep-Alive: 5\r\n X\r\n\r\n",
       "HTTP/1.0 200 OK\nConnection: close\n\r\n"},
  };
  for (const auto& [answer, block] : cases) {
    AnswerFraming framing(false);
    EXPECT_EQ(framing.Read(answer, false), Step::Final) << answer;
    EXPECT_EQ(framing.Block(), block) << answer;
  }
}

// While its status line has not ended, a block may still be interim; then its status decides.
TEST(AnswerBlockTest, MayBeInterimUntilItsStatusLineSaysOtherwise) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"HTTP/1.1 2", true},
      {"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n", true},
      {"HTTP/1.1 200 OK\r\n", false},
      {"HTTP/1.1 101 Switching Protocols\r\n", false},
      {"garbage\n", false},
  };
  for (const auto& [held, interim] : cases) {
    AnswerFraming framing(false);
    ASSERT_EQ(framing.Read(held, false), Step::More) << held;
    EXPECT_EQ(framing.Interim(), interim) << held;
  }
}

// Answers as an origin writes them, and what the client receives.
struct AnswerCase {
  const char* name;
  std::vector<test::OriginStep> steps;
  std::string received;
};

class AnswerFramingTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerFramingTest, RewritesEveryHeaderBlockAndNothingElse) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  OriginServer origin({GetParam().steps});
  RawClient client = RawClient::ConnectTo(proxy.Port());
  ASSERT_TRUE(client.Send(Get(origin.Port())));
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer.substr(0, GetParam().received.size()), GetParam().received);
  EXPECT_TRUE(proxy.WaitUntilIdle());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerFramingTest,
    ::testing::Values(
        AnswerCase{"ValuesStayAsTheyAre",
                   {{"HTTP/1.1 302 Found\r\nLocation: http://h/v1.1/keep-alive-guide\r\n"
                     "Content-Disposition: attachment; filename=\"app-1.1.zip\"\r\n"
                     "ETag: \"v1.1\"\r\nConnection: Keep-Alive,\r\n TE\r\nKeep-Alive: max=5\r\n"
                     "\r\nkeep-alive 1.1"}},
                   "HTTP/1.0 302 Found\r\nLocation: http://h/v1.1/keep-alive-guide\r\n"
                   "Content-Disposition: attachment; filename=\"app-1.1.zip\"\r\n"
                   "ETag: \"v1.1\"\r\nConnection: close\r\n\r\nkeep-alive 1.1"},
        AnswerCase{"InterimBlocksEach",
                   {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n"},
                    {"\r\nHTTP/1.1 200 OK\r\nConnection: TE\r\n\r\nok", 50}},
                   "HTTP/1.0 100 Continue\r\n\r\nHTTP/1.0 103 Early Hints\r\nLink: </a>\r\n\r\n"
                   "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nok"},
        AnswerCase{"HeaderBlockTooLarge",
                   {{"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'x') + "\r\n\r\nbody"}},
                   "HTTP/1.0 502 Bad Gateway"}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
