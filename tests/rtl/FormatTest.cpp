#include "rtl/Format.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"

namespace {

TEST(FormatTest, SubstitutesDirectivesInOrder) {
  EXPECT_EQ(Format("Socket Error # %d\r\n%s", 10061, "Connection refused."),
            "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(Format("%s:%d", std::string("host"), -1), "host:-1");
  EXPECT_EQ(Format("%u %x 100%%", 4294967295u, 255), "4294967295 ff 100%");
  EXPECT_EQ(Format("no directives"), "no directives");
}

TEST(FormatTest, KeepsEmbeddedNulBytes) {
  std::string text("a\0b", 3);
  EXPECT_EQ(Format("[%s]", text), std::string("[a\0b]", 5));
}

TEST(FormatTest, MismatchedArgumentsRaise) {
  EXPECT_THROW(Format("%d", "text"), EConvertError);
  EXPECT_THROW(Format("%s", 5), EConvertError);
  EXPECT_THROW(Format("%s %s", "one"), EConvertError);
  EXPECT_THROW(Format("trailing %"), EConvertError);
}

}  // namespace
