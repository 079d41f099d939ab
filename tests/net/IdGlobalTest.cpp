#include "net/IdGlobal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "rtl/Exception.h"
#include "rtl/Time.h"

namespace {

TEST(IdGlobalSearch, FindInMemory) {
  const std::string buffer("ab\r\ncd\r\n\0x", 10);
  struct Row {
    std::string pattern;
    std::int32_t size;
    std::int32_t expected;
  };
  const Row rows[] = {
      {"\r\n", 10, 3},
      {"cd", 10, 5},
      {"x", 10, 10},
      {std::string("\0x", 2), 10, 9},
      {"x", 9, 0},
      {"cd", 5, 0},
      {"cd", 6, 5},
      {"", 10, 0},
      {std::string("ab\r\ncd\r\n\0xy", 11), 10, 0},
      {"ab", 2, 1},
      {"ab", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.pattern) + " size " + std::to_string(row.size));
    EXPECT_EQ(FindInMemory(row.pattern, buffer.data(), row.size), row.expected);
  }
}

TEST(IdGlobalSearch, FindFrom) {
  struct Row {
    std::string pattern;
    std::string text;
    std::int32_t start;
    std::int32_t expected;
  };
  const Row rows[] = {
      {"a", "banana", 0, 2},  {"a", "banana", 1, 2},       {"a", "banana", 3, 4},
      {"a", "banana", 6, 6},  {"a", "banana", 7, 0},       {"na", "banana", 4, 5},
      {"", "banana", 1, 0},   {"bananas", "banana", 1, 0}, {"x", "banana", 1, 0},
      {"a", "banana", -5, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern + " in " + row.text + " from " + std::to_string(row.start));
    EXPECT_EQ(FindFrom(row.pattern, row.text, row.start), row.expected);
  }
}

TEST(IdGlobalCutToken, CutsAndKeepsTheRest) {
  struct Row {
    std::string text;
    std::string delimiter;
    bool remove;
    bool caseSensitive;
    std::string token;
    std::string rest;
  };
  const Row rows[] = {
      {"1.2.3.4", ".", true, true, "1", "2.3.4"},
      {"1.2.3.4", ".", false, true, "1", "1.2.3.4"},
      {"abc", ".", true, true, "abc", ""},
      {"abc", ".", false, true, "abc", "abc"},
      {".x", ".", true, true, "", "x"},
      {"x.", ".", true, true, "x", ""},
      {"keyABCvalue", "abc", true, true, "keyABCvalue", ""},
      {"keyABCvalue", "abc", true, false, "key", "value"},
      {"a::b::c", "::", true, true, "a", "b::c"},
      {"", ".", true, true, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " / " + row.delimiter);
    std::string text = row.text;
    EXPECT_EQ(CutToken(text, row.delimiter, row.remove, row.caseSensitive), row.token);
    EXPECT_EQ(text, row.rest);
  }
}

TEST(IdGlobalConversion, StrictIntegers) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("255"), 255);
  EXPECT_EQ(StrToInt("-17"), -17);
  EXPECT_EQ(StrToInt("+8"), 8);
  EXPECT_EQ(StrToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad :
       {"", "-", "1a", " 1", "1 ", "2147483648", "-2147483649", "0x10", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    try {
      StrToInt(bad);
      ADD_FAILURE() << "converted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
    }
    EXPECT_EQ(StrToIntDef(bad, -1), -1);
  }
}

TEST(IdGlobalThreads, MainAndCallingThread) {
  // GoogleTest runs the tests on the process's main thread.
  EXPECT_TRUE(IsMainThread());
  EXPECT_TRUE(IsCallingThread(rtl::GetCurrentThreadId()));

  const std::uint32_t mainId = rtl::GetCurrentThreadId();
  std::atomic<bool> otherIsMain{true};
  std::atomic<bool> otherIsCaller{false};
  std::atomic<bool> mainIsCaller{true};
  std::thread other([&] {
    otherIsMain = IsMainThread();
    otherIsCaller = IsCallingThread(rtl::GetCurrentThreadId());
    mainIsCaller = IsCallingThread(mainId);
  });
  other.join();
  EXPECT_FALSE(otherIsMain);
  EXPECT_TRUE(otherIsCaller);
  EXPECT_FALSE(mainIsCaller);
}

}  // namespace
