#include "proxy/RequestCapture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using proxy::LineList;
using proxy::RequestCapture;
using namespace std::string_literals;

// Feeds the reads as the handler does: whatever a read leaves untaken is body.
struct Fed {
  LineList lines;
  std::string body;
  bool complete = false;
  bool cut = false;
};

Fed Feed(const std::vector<std::string>& reads, bool finish = false) {
  RequestCapture capture;
  Fed fed;
  for (const std::string& read : reads)
    fed.body += read.substr(capture.Append(read));
  if (finish) capture.Finish();
  fed.lines = capture.Lines();
  fed.complete = capture.HeaderComplete();
  fed.cut = capture.Cut();
  return fed;
}

struct CaptureCase {
  const char* name;
  std::vector<std::string> reads;
  LineList lines;
  std::string body;
  bool complete;
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
  *os << c.name;
}

class RequestCaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RequestCaptureTest, TakesTheHeaderBlockAndLeavesTheBody) {
  const Fed fed = Feed(GetParam().reads);
  EXPECT_EQ(fed.lines, GetParam().lines);
  EXPECT_EQ(fed.body, GetParam().body);
  EXPECT_EQ(fed.complete, GetParam().complete);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, RequestCaptureTest,
    ::testing::Values(
        CaptureCase{"HeaderLineInTwoReads",
                    {"GET http://h/ HTTP/1.1\r\nHo", "st: h\r\n\r\n"},
                    {"GET http://h/ HTTP/1.1", "Host: h", ""},
                    "",
                    true},
        CaptureCase{"CrAndLfInTwoReadsAreOneLineEnd",
                    {"GET x HTTP/1.0\r", "\nA: b\r", "\n\r", "\nbody"},
                    {"GET x HTTP/1.0", "A: b", ""},
                    "body",
                    true},
        CaptureCase{"BodyBytesAreLeftUntouched",
                    {"POST x HTTP/1.0\r\nContent-Length: 9\r\n\r\nab\rc\0d\n\r\n"s},
                    {"POST x HTTP/1.0", "Content-Length: 9", ""},
                    "ab\rc\0d\n\r\n"s,
                    true},
        CaptureCase{"LoneCrAndLfEndLines",
                    {"GET x HTTP/1.0\rA\n\nB"},
                    {"GET x HTTP/1.0", "A", ""},
                    "B",
                    true},
        CaptureCase{
            "LfCrIsTwoLineEnds", {"GET x HTTP/1.0\n\rB"}, {"GET x HTTP/1.0", ""}, "B", true},
        CaptureCase{"HeaderNotYetEnded",
                    {"GET http://h/ HTTP/1.1\r\nHost: h\r\nAcc"},
                    {"GET http://h/ HTTP/1.1", "Host: h"},
                    "",
                    false},
        CaptureCase{"NulEndsTheRequestText",
                    {"GET x HTTP/1.1\r\nA: b\0junk\r\n"s, "C: d\r\n\r\nbody"},
                    {"GET x HTTP/1.1", "A: b"},
                    "",
                    false},
        CaptureCase{"NulFirstGivesNoLines", {"\0GET x HTTP/1.1\r\n\r\n"s}, {}, "", false}),
    [](const auto& instance) { return std::string(instance.param.name); });

// However TCP cuts a request, the capture sees the lines SplitLines sees in the whole text, and
// leaves the same body.
TEST(RequestCaptureSplitTest, EveryCutGivesWhatTheWholeTextGives) {
  const std::string requests[] = {
      "POST http://h/ HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n\nab\r\ncd",
      "GET x HTTP/1.0\rA: b\nC: d\r\r\n\r\n",
      "GET x HTTP/1.0\n\nX",
      "GET x HTTP/1.0\r\nA: \xff\x80\r\n\r\r\n",
  };
  for (const std::string& request : requests) {
    const Fed whole = Feed({request});
    ASSERT_TRUE(whole.complete) << request;
    for (std::size_t cut = 0; cut <= request.size(); ++cut) {
      for (std::size_t cut2 = cut; cut2 <= request.size(); cut2 += 3) {
        const Fed pieces =
            Feed({request.substr(0, cut), request.substr(cut, cut2 - cut), request.substr(cut2)});
        ASSERT_EQ(pieces.lines, whole.lines) << "cut at " << cut << " and " << cut2;
        ASSERT_EQ(pieces.body, whole.body) << "cut at " << cut << " and " << cut2;
      }
    }
    // Up to the empty line the capture agrees with SplitLines of the same text.
    const std::size_t headerBytes = request.size() - whole.body.size();
    EXPECT_EQ(whole.lines, proxy::SplitLines(request.substr(0, headerBytes)));
  }
}

TEST(RequestCaptureFinishTest, AClientThatClosesEndsTheOpenLine) {
  const Fed fed = Feed({"GET http://h/ HTTP/1.1\r\nHost: h"}, true);
  EXPECT_EQ(fed.lines, (LineList{"GET http://h/ HTTP/1.1", "Host: h"}));
  EXPECT_FALSE(fed.complete);
}

TEST(RequestCaptureLengthTest, ReadsTheAnnouncedLengthOnceTheBlockEnds) {
  const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
      {"content-length:  7 ", 7},
      {"Content-Length: 1x", std::nullopt},
      {"Content-Length:", std::nullopt},
      {"X-Content-Length: 5", std::nullopt},
      {"Content-Length: 99999999999999999999999", std::numeric_limits<std::int64_t>::max()},
  };
  for (const auto& [line, length] : cases) {
    SCOPED_TRACE(line);
    RequestCapture capture;
    capture.Append("POST x HTTP/1.1\r\n" + line + "\r\n");
    EXPECT_EQ(capture.ContentLength(), std::nullopt);  // not before the block has ended
    capture.Append("\r\n");
    EXPECT_EQ(capture.ContentLength(), length);
  }
}

}  // namespace
