#include "proxy/RequestCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using proxy::LineList;
using proxy::RequestCapture;

struct CaptureCase {
  const char* name;
  std::vector<std::string> reads;
  LineList lines;
  bool headerComplete;
  bool complete;
};

class RequestCaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RequestCaptureTest, SplitsReadsAndTellsWhenTheRequestIsWhole) {
  RequestCapture capture;
  for (const auto& read : GetParam().reads)
    capture.Append(read);
  EXPECT_EQ(capture.Lines(), GetParam().lines);
  EXPECT_EQ(capture.HeaderComplete(), GetParam().headerComplete);
  EXPECT_EQ(capture.Complete(), GetParam().complete);
}

TEST_P(RequestCaptureTest, MatchesResplittingTheJoinedLinesOnEveryRead) {
  RequestCapture capture;
  LineList resplit;
  for (const auto& read : GetParam().reads) {
    capture.Append(read);
    resplit = proxy::SplitLines(proxy::JoinLines(resplit) + read);
  }
  EXPECT_EQ(capture.Lines(), resplit);
}

const std::string kNul("\0", 1);

INSTANTIATE_TEST_SUITE_P(
    Reads, RequestCaptureTest,
    ::testing::Values(
        CaptureCase{"WholeGet",
                    {"GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n"},
                    {"GET http://h/ HTTP/1.1", "Host: h", ""},
                    true,
                    true},
        CaptureCase{"HeaderInTwoParts",
                    {"GET http://h/ HTTP/1.1\r\nHo", "st: h\r\n\r\n"},
                    {"GET http://h/ HTTP/1.1", "Ho", "st: h", ""},
                    true,
                    true},
        CaptureCase{"HeaderNotYetEnded",
                    {"GET http://h/ HTTP/1.1\r\nHost: h\r\n"},
                    {"GET http://h/ HTTP/1.1", "Host: h"},
                    false,
                    false},
        CaptureCase{"BodyShorterThanAnnounced",
                    {"POST http://h/ HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"},
                    {"POST http://h/ HTTP/1.1", "Content-Length: 10", "", "abc"},
                    true,
                    false},
        CaptureCase{"BodyCompletedByALaterRead",
                    {"POST http://h/ HTTP/1.1\r\ncontent-length:  7 \r\n\r\nabc", "\r\nde"},
                    {"POST http://h/ HTTP/1.1", "content-length:  7 ", "", "abc", "", "de"},
                    true,
                    true},
        CaptureCase{"BytesBeyondTheBodyAreKept",
                    {"POST http://h/ HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcd"},
                    {"POST http://h/ HTTP/1.1", "Content-Length: 2", "", "abcd"},
                    true,
                    true},
        CaptureCase{"InvalidLengthExpectsNoBody",
                    {"POST http://h/ HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"},
                    {"POST http://h/ HTTP/1.1", "Content-Length: 1x", ""},
                    true,
                    true},
        CaptureCase{"NulDropsTheRestOfItsReadOnly",
                    {"GET http://h/ HTTP/1.1\r\nA: b" + kNul + "junk\r\n", "C: d\r\n\r\n"},
                    {"GET http://h/ HTTP/1.1", "A: b", "C: d", ""},
                    true,
                    true},
        CaptureCase{"LoneCrAndLfEndLines",
                    {"GET x HTTP/1.0\rA\n\n"},
                    {"GET x HTTP/1.0", "A", ""},
                    true,
                    true},
        CaptureCase{"CrLfSplitAcrossReadsGivesAnEmptyLine",
                    {"GET x HTTP/1.0\r", "\nA\r\n"},
                    {"GET x HTTP/1.0", "", "A"},
                    true,
                    true},
        CaptureCase{"NothingRead", {"", ""}, {}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestCaptureSizeTest, CountsKeptBytesAndAnnouncedLength) {
  RequestCapture capture;
  const std::string header =
      "POST http://h/ HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n";
  capture.Append(header);
  capture.Append(std::string("ab\0cd", 5));
  EXPECT_EQ(capture.Size(), static_cast<std::int64_t>(header.size()) + 2);
  ASSERT_TRUE(capture.ContentLength().has_value());
  EXPECT_GT(*capture.ContentLength(), std::int64_t{1} << 40);  // saturates instead of wrapping
  EXPECT_FALSE(capture.Complete());
}

}  // namespace
