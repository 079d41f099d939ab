#include "proxy/RequestCapture.h"

#include <gtest/gtest.h>

#include <string>
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
  bool malformed = false;
};

Fed Feed(const std::vector<std::string>& reads) {
  RequestCapture capture;
  Fed fed;
  for (const std::string& read : reads)
    fed.body += read.substr(capture.Append(read));
  fed.lines = capture.Lines();
  fed.complete = capture.HeaderComplete();
  fed.malformed = capture.Malformed();
  return fed;
}

struct CaptureCase {
  const char* name;
  std::vector<std::string> reads;
  LineList lines;
  std::string body;
  bool complete;
  bool malformed = false;
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
  *os << c.name;
}

class RequestCaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RequestCaptureTest, TakesTheHeaderBlockAndLeavesTheBody) {
  const Fed fed = Feed(GetParam().reads);
  if (!GetParam().malformed) {  // then what it holds is of no use
    EXPECT_EQ(fed.lines, GetParam().lines);
    EXPECT_EQ(fed.body, GetParam().body);
  }
  EXPECT_EQ(fed.complete, GetParam().complete);
  EXPECT_EQ(fed.malformed, GetParam().malformed);
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
        CaptureCase{"LoneLfEndsLinesAndBlankLinesBeforeTheRequestAreSkipped",
                    {"\r\n\nGET x HTTP/1.0\nA\n\nB"},
                    {"GET x HTTP/1.0", "A", ""},
                    "B",
                    true},
        CaptureCase{"HeaderNotYetEnded",
                    {"GET http://h/ HTTP/1.1\r\nHost: h\r\nAcc"},
                    {"GET http://h/ HTTP/1.1", "Host: h"},
                    "",
                    false},
        CaptureCase{"BareCrIsMalformed", {"GET x HTTP/1.0\rA: b\r\n\r\n"}, {}, "", false, true},
        CaptureCase{"CrAtTheEndOfAReadThenNoLf", {"GET x HTTP/1.0\r", "A"}, {}, "", false, true},
        CaptureCase{"NulIsMalformed", {"GET x HTTP/1.1\r\nA: b\0c\r\n\r\n"s}, {}, "", false, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

// However TCP cuts a request, the capture takes the same lines and leaves the same body.
TEST(RequestCaptureSplitTest, EveryCutGivesWhatTheWholeTextGives) {
  const std::string requests[] = {
      "POST http://h/ HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n\nab\r\ncd",
      "GET x HTTP/1.0\nA: b\r\nC: d\n\r\n\r\n",
      "GET x HTTP/1.0\r\nA: \xff\x80\r\n\r\r\n",
  };
  for (const std::string& request : requests) {
    const Fed whole = Feed({request});
    for (std::size_t cut = 0; cut <= request.size(); ++cut) {
      for (std::size_t cut2 = cut; cut2 <= request.size(); cut2 += 3) {
        const Fed pieces =
            Feed({request.substr(0, cut), request.substr(cut, cut2 - cut), request.substr(cut2)});
        ASSERT_EQ(pieces.lines, whole.lines) << "cut at " << cut << " and " << cut2;
        ASSERT_EQ(pieces.body, whole.body) << "cut at " << cut << " and " << cut2;
        ASSERT_EQ(pieces.malformed, whole.malformed) << "cut at " << cut << " and " << cut2;
      }
    }
  }
}

}  // namespace
