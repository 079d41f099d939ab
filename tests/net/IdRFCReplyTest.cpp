#include "net/IdRFCReply.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

struct FormatCase {
  std::int32_t code;
  Lines lines;
  std::string wire;
};

class RFCReplyFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RFCReplyFormatTest, GoesOutAsExpected) {
  TIdRFCReply reply;
  reply.SetNumericCode(GetParam().code);
  reply.SetText(GetParam().lines);
  EXPECT_EQ(reply.Formatted(), GetParam().wire);
  EXPECT_EQ(reply.HasContent(), !GetParam().wire.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, RFCReplyFormatTest,
                         ::testing::Values(FormatCase{0, {}, ""}, FormatCase{220, {}, "220\r\n"},
                                           FormatCase{220, {"ready"}, "220 ready\r\n"},
                                           FormatCase{250,
                                                      {"first", "second", "third"},
                                                      "250-first\r\n250-second\r\n250 third\r\n"},
                                           FormatCase{0, {"a", "b"}, "a\r\nb\r\n"},
                                           FormatCase{-5, {"x"}, "x\r\n"}));

TEST(RFCReplyCodeTest, CodeAndTextCodeFollowEachOther) {
  TIdRFCReply reply;
  reply.SetNumericCode(250);
  EXPECT_EQ(reply.TextCode(), "250");
  reply.SetNumericCode(0);
  EXPECT_EQ(reply.TextCode(), "250");  // a code of 0 or less keeps the old text

  reply.SetTextCode("abc");
  EXPECT_EQ(reply.NumericCode(), 0);
  reply.SetTextCode("421");
  EXPECT_EQ(reply.NumericCode(), 421);
  reply.SetTextCode("");
  EXPECT_EQ(reply.NumericCode(), 421);  // an empty text code leaves the code alone
  reply.SetTextCode("421");

  reply.SetReply(500, "one\r\ntwo\nthree\r");
  EXPECT_EQ(reply.NumericCode(), 500);
  EXPECT_EQ(reply.TextCode(), "421");  // SetReply leaves the text code alone
  EXPECT_EQ(reply.Text(), (Lines{"one", "two", "three"}));
}

struct ParseCase {
  Lines received;
  std::int32_t code;
  std::string textCode;
  Lines text;
};

class RFCReplyParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RFCReplyParseTest, ReadsCodeAndLines) {
  TIdRFCReply reply;
  reply.SetReply(999, "stale");
  reply.Parse(GetParam().received);
  EXPECT_EQ(reply.NumericCode(), GetParam().code);
  EXPECT_EQ(reply.TextCode(), GetParam().textCode);
  EXPECT_EQ(reply.Text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RFCReplyParseTest,
    ::testing::Values(ParseCase{{"250-first", "250 second"}, 250, "250", {"first", "second"}},
                      ParseCase{{"220 ready"}, 220, "220", {"ready"}},
                      ParseCase{{"220"}, 220, "220", {""}},
                      ParseCase{{"+OK fine"}, 0, "+OK", {"fine"}}, ParseCase{{}, 0, "", {}}));

TEST(RFCReplyCopyTest, AssignReplacesEverything) {
  TIdRFCReply source, target;
  source.SetNumericCode(354);
  source.SetText({"go ahead"});
  target.SetText({"old", "lines"});
  target.Assign(source);
  EXPECT_EQ(target.Formatted(), "354 go ahead\r\n");
  EXPECT_EQ(target.TextCode(), "354");
}

TEST(RFCRepliesTest, FindCodeGivesFirstMatch) {
  TIdRFCReplies replies;
  replies.Add()->SetReply(500, "unknown");
  replies.Add()->SetReply(421, "bye");
  replies.Add()->SetReply(421, "second");
  ASSERT_NE(replies.FindCode(421), nullptr);
  EXPECT_EQ(replies.FindCode(421)->Text(), Lines{"bye"});
  EXPECT_EQ(replies.FindCode(200), nullptr);
}

}  // namespace
