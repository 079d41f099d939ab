#include "PacingModel.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

struct ModelCase {
  std::int64_t answer;
  std::int32_t limit;
  std::int64_t chunks;
  std::int64_t slices;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.answer << " bytes at limit " << c.limit;
}

class ChunkAwareModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ChunkAwareModelTest, SplitsIntoReadsThenSlices) {
  const ModelCase& c = GetParam();
  PacedTransfer transfer = ChunkAwareModel(c.answer, c.limit);
  EXPECT_EQ(transfer.Chunks, c.chunks);
  EXPECT_EQ(transfer.Slices, c.slices);
  EXPECT_DOUBLE_EQ(transfer.Seconds, static_cast<double>(c.slices));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkAwareModelTest,
    ::testing::Values(
        ModelCase{10000, 4, 1, 3},         // 4000, 4000, 2000
        ModelCase{32768, 4, 1, 9},         // eight of 4000 and one of 768
        ModelCase{32768, 32, 1, 2},        // 32000 and 768
        ModelCase{32769, 32, 2, 3},        // the one byte over a receive is a chunk of its own
        ModelCase{65536, 1, 2, 66},        // 33 slices per receive at 1000 bytes
        ModelCase{204901, 4, 7, 57},       // six full receives (9 slices each) and 8293 bytes
        ModelCase{33000, 33, 1, 1},        // from limit 33 on, a pass reads a whole slice
        ModelCase{2097152, 64, 33, 33},    // 32 x 64000 and 49152
        ModelCase{20000000, 65535, 1, 1},  // a pass takes up to a whole slice, however large
        ModelCase{0, 4, 0, 0},             // nothing to send
        ModelCase{1000, 0, 0, 0},          // a limit of 0 never sends
        ModelCase{1000, -5, 0, 0}),
    [](const ::testing::TestParamInfo<ModelCase>& info) {
      std::string limit = info.param.limit < 0 ? "minus" + std::to_string(-info.param.limit)
                                               : std::to_string(info.param.limit);
      return std::to_string(info.param.answer) + "BytesAtLimit" + limit;
    });

TEST(ReadCapTest, OneReceiveBelowLimit33AndOneSliceAbove) {
  const std::pair<std::int32_t, std::int64_t> cases[] = {
      {1, 32768}, {32, 32768}, {33, 33000}, {64, 64000}, {65535, 65535000}};
  for (auto [limit, cap] : cases)
    EXPECT_EQ(ReadCap(limit), cap) << "limit " << limit;
}

TEST(SimpleModelTest, IsBytesOverSliceSize) {
  EXPECT_DOUBLE_EQ(SimpleModelSeconds(10000, 4), 2.5);
  EXPECT_DOUBLE_EQ(SimpleModelSeconds(204800, 32), 6.4);
  EXPECT_DOUBLE_EQ(SimpleModelSeconds(10000, 0), 0);
}

std::vector<std::int64_t> Repeat(std::int64_t size, int count) {
  return std::vector<std::int64_t>(static_cast<std::size_t>(count), size);
}

std::vector<std::int64_t> Concat(std::initializer_list<std::vector<std::int64_t>> parts) {
  std::vector<std::int64_t> all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ChunksFromSlicesTest, RegroupsSlicesIntoTheReadsTheyCameFrom) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> slices;
    std::int32_t limit;
    std::vector<std::int64_t> chunks;
  };
  const Case cases[] = {
      {"short slices end chunks",
       Concat({Repeat(4000, 8), {768}, Repeat(4000, 8), {768, 3000}}),
       4,
       {32768, 32768, 3000}},
      {"a chunk of whole slices ends at the read cap", Repeat(4000, 10), 4, {32000, 8000}},
      {"a short first read", Concat({{101}, Repeat(4000, 2)}), 4, {101, 8000}},
      {"one slice per read from limit 33 on", {64000, 64000, 1000}, 64, {64000, 64000, 1000}},
      {"nothing", {}, 4, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChunksFromSlices(c.slices, c.limit), c.chunks) << c.name;
}

TEST(DescribeSizesTest, CountsEqualNeighbours) {
  EXPECT_EQ(DescribeSizes({}), "");
  EXPECT_EQ(DescribeSizes({5}), "5");
  EXPECT_EQ(DescribeSizes({32768, 32768, 8294}), "32768x2 8294");
  EXPECT_EQ(DescribeSizes({1, 2, 1}), "1 2 1");
}

}  // namespace
}  // namespace bench
