#include "proxy/AnswerHead.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "proxy/MessageRewriting.h"

namespace {

using proxy::AnswerHead;

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
std::string Sent(const std::string& answer, std::size_t blockLength) {
  return proxy::RewriteAnswerHead(answer.substr(0, blockLength)) + answer.substr(blockLength);
}

class AnswerHeadTest : public ::testing::TestWithParam<HeadCase> {};

// Fed whole, and fed as it might arrive - growing by one byte at a time - the same bytes go out.
// (Arriving in pieces, the LF of a CR LF that ended what had come may go with the body instead.)
TEST_P(AnswerHeadTest, SendsTheSameHoweverTheAnswerArrives) {
  const HeadCase& c = GetParam();
  ASSERT_EQ(AnswerHead().Find(c.answer, c.closed), c.length);
  AnswerHead head;
  std::optional<std::size_t> found;
  for (std::size_t size = 0; size <= c.answer.size() && !found; ++size)
    found =
        head.Find(std::string_view(c.answer).substr(0, size), c.closed && size == c.answer.size());
  ASSERT_EQ(found.has_value(), c.length.has_value());
  EXPECT_EQ(head.TooLong(), c.tooLong);
  if (found) {
    EXPECT_EQ(Sent(c.answer, *found), Sent(c.answer, *c.length));
  }
}

const std::string kLong(AnswerHead::kMaxBytes + 10, 'x');

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
        HeadCase{"EndsRightAtTheLimit",
                 std::string(AnswerHead::kMaxBytes - 4, 'x') + "\r\n\r\nbody", false,
                 AnswerHead::kMaxBytes}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
