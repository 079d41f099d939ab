#include "proxy/StringCuts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "proxy/Limits.h"
#include "rtl/Text.h"

namespace {

using namespace std::string_literals;

TEST(TrimTest, RemovesBlanksAndControlBytesAtBothEndsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"  GET / HTTP/1.0  ", "GET / HTTP/1.0"},
      {"\0\x01\t\r\n x \x1f\x20"s, "x"},
      {"a \t b", "a \t b"},
      {"\xa0x\xff", "\xa0x\xff"},  // high bytes are text
      {"\x7f", "\x7f"},
      {" \r\n\0 "s, ""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(rtl::Trim(in), out);
  }
}

TEST(SliceTest, SizesSlicesWithoutOverflow) {
  const std::pair<std::int32_t, std::int64_t> cases[] = {
      {4, 4000},
      {1, 1000},
      {65535, 65535000},
      {99999, 99999000},
      {0, 0},
      {-1, -1000},
      {std::numeric_limits<std::int32_t>::max(), 2147483647000LL},
      {std::numeric_limits<std::int32_t>::min(), -2147483648000LL},
  };
  for (const auto& [limit, bytes] : cases) {
    SCOPED_TRACE(limit);
    EXPECT_EQ(proxy::SliceSize(limit), bytes);
  }
}

TEST(SliceTest, TakesSlicesWithinBounds) {
  const std::string chunk(10000, 'x');
  const std::int64_t counts[] = {-1000,
                                 0,
                                 4000,
                                 9999,
                                 10000,
                                 10001,
                                 proxy::SliceSize(std::numeric_limits<std::int32_t>::max())};
  for (const std::int64_t n : counts) {
    SCOPED_TRACE(n);
    const std::size_t expected = n <= 0 ? 0 : std::min<std::int64_t>(n, 10000);
    EXPECT_EQ(proxy::FirstChars(chunk, n).size(), expected);
  }

  // 10,000 bytes at the initial limit leave as 4000, 4000 and 2000.
  std::string pending = "ab" + std::string(9996, '-') + "yz";
  std::vector<std::size_t> sizes;
  std::string sent;
  while (!pending.empty() && sizes.size() < 10) {
    const std::string_view slice = proxy::FirstChars(pending, proxy::SliceSize(4));
    sizes.push_back(slice.size());
    sent.append(slice);
    pending.erase(0, slice.size());
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4000, 4000, 2000}));
  EXPECT_EQ(sent, "ab" + std::string(9996, '-') + "yz");
}

}  // namespace
