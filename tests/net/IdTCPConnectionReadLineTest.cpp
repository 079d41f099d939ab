#include <gtest/gtest.h>

#include "net/IdException.h"
#include "net/IdTCPConnectionFixture.h"

namespace {

// A bounded read time-out turns a line reader that waits for bytes that never come into a failure
// instead of a hang.
class ReadLineTest : public test::ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    conn->SetReadTimeout(2000);
  }
};

struct TerminatorCase {
  std::string sent;
  std::string terminator;
  std::vector<std::string> lines;
  std::string left;
};

void PrintTo(const TerminatorCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.sent) << " split at " << ::testing::PrintToString(c.terminator);
}

class ReadLineTerminatorTest : public ReadLineTest,
                               public ::testing::WithParamInterface<TerminatorCase> {};

TEST_P(ReadLineTerminatorTest, SplitsAtTheTerminator) {
  ASSERT_TRUE(peer.Send(GetParam().sent));
  for (const auto& line : GetParam().lines)
    EXPECT_EQ(conn->ReadLine(GetParam().terminator), line);
  EXPECT_EQ(conn->ReceivedData()->ToString(), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Terminators, ReadLineTerminatorTest,
    ::testing::Values(TerminatorCase{"abc\r\n", "", {"abc"}, ""},
                      TerminatorCase{"abc\n", "\n", {"abc"}, ""},
                      TerminatorCase{"abc\rXdef", "X", {"abc\r"}, "def"},
                      TerminatorCase{"a\nb\r\n\r\n\rc\n", "", {"a", "b", "", "\rc"}, ""},
                      TerminatorCase{"x.\r\n..\r\n.\r\nrest", "\r\n.\r\n", {"x.\r\n.."}, "rest"}));

TEST_F(ReadLineTest, FindsATerminatorSplitBetweenTwoReceives) {
  ASSERT_TRUE(peer.Send("ab\r"));
  ASSERT_EQ(conn->FillInputBuffer(true, -1, true), 3);
  ASSERT_TRUE(peer.Send("\ncd\r\n"));
  EXPECT_EQ(conn->ReadLine("\r\n"), "ab");
  EXPECT_EQ(conn->ReadLine("\r\n"), "cd");
}

struct LimitCase {
  std::int32_t maxLength;
  std::size_t lineLength;
  std::string ending;
  TIdMaxLineAction action;
  std::size_t returned;  // 0 = raises
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << c.lineLength << " bytes and " << ::testing::PrintToString(c.ending) << ", limit "
      << c.maxLength << (c.action == maSplit ? ", split" : "");
}

class ReadLineLimitTest : public ReadLineTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ReadLineLimitTest, HonoursTheLimit) {
  const LimitCase& c = GetParam();
  conn->SetMaxLineLength(c.maxLength);
  conn->SetMaxLineAction(c.action);
  std::string line = test::Pattern(0, static_cast<std::int64_t>(c.lineLength));
  for (char& ch : line)
    if (ch == '\r' || ch == '\n') ch = 'x';
  ASSERT_TRUE(peer.Send(line + c.ending + "next\n"));
  if (c.returned == 0) {
    EXPECT_THROW(conn->ReadLine(), EIdReadLnMaxLineLengthExceeded);
    return;
  }
  EXPECT_EQ(conn->ReadLine(), line.substr(0, c.returned));
  bool split = c.returned < c.lineLength;
  EXPECT_EQ(conn->LineWasSplit(), split);
  if (split) {
    EXPECT_EQ(conn->ReadLine(), line.substr(c.returned));
  }
  EXPECT_EQ(conn->ReadLine(), "next");
}

INSTANTIATE_TEST_SUITE_P(Limits, ReadLineLimitTest,
                         ::testing::Values(LimitCase{16384, 16384, "\n", maException, 16384},
                                           LimitCase{16384, 16384, "\r\n", maException, 16384},
                                           LimitCase{16384, 16385, "\n", maException, 0},
                                           LimitCase{16384, 16385, "\n", maSplit, 16384},
                                           LimitCase{0, 40000, "\r\n", maException, 40000}));

TEST_F(ReadLineTest, PeerCloseBeforeALineRaises) {
  peer.Close();
  EXPECT_THROW(conn->ReadLine(), EIdConnClosedGracefully);
}

TEST_F(ReadLineTest, PeerCloseMidLineCutsItShortAndKeepsThePart) {
  ASSERT_TRUE(peer.Send("ab"));
  peer.Close();
  EXPECT_EQ(conn->ReadLine(), "");
  EXPECT_TRUE(conn->LineCutShort());
  EXPECT_EQ(conn->ReceivedData()->ToString(), "ab");
  EXPECT_THROW(conn->ReadLine(), EIdConnClosedGracefully);
}

TEST_F(ReadLineTest, AnExplicitTimeOutExpiresWithAnError) {
  ASSERT_TRUE(peer.Send("partial"));
  EXPECT_THROW(conn->ReadLine("", 100), EIdReadTimeout);
  EXPECT_TRUE(conn->IsConnected());
  ASSERT_TRUE(peer.Send(" line\n"));
  EXPECT_EQ(conn->ReadLine("", 100), "partial line");
}

}  // namespace
