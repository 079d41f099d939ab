#include <gtest/gtest.h>
#include <malloc.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "proxy/BodyBudget.h"
#include "proxy/http/ChunkedCoding.h"

namespace {

using proxy::HeldBody;
using proxy::http::ChunkedDecoder;

// What the allocator holds for a body: each block it gave, with its header.
std::int64_t Allocated(const HeldBody& body) {
  constexpr std::int64_t kHeader = sizeof(std::size_t);
  const auto block = [](const void* at) {
    return static_cast<std::int64_t>(malloc_usable_size(const_cast<void*>(at))) + kHeader;
  };
  std::int64_t total = body.Pieces().capacity() > 0 ? block(body.Pieces().data()) : 0;
  for (const std::string& piece : body.Pieces()) {
    const auto* inside = reinterpret_cast<const char*>(&piece);
    const std::less<const char*> before;
    if (before(piece.data(), inside) || !before(piece.data(), inside + sizeof(std::string)))
      total += block(piece.data());
  }
  return total;
}

// What a held body says it takes is at least what the allocator holds for it, and follows what it
// holds, whatever sizes the bytes came in.
TEST(HeldBodyTest, TakesWhatItHoldsHoweverTheBytesArrive) {
  struct Case {
    const char* name;
    std::vector<std::size_t> appends;  // repeated until about 1 MiB is held
  };
  const Case cases[] = {
      {"one byte at a time", {1}},
      {"a chunk's data per read", {6}},
      {"reads that each end a little past a piece", {65537}},
      {"mixed", {1, 4000, 17, 70000, 3}},
  };
  const std::string bytes(70000, 'b');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeldBody body;
    for (std::size_t i = 0; body.Size() < (1 << 20); ++i) {
      const std::size_t n = c.appends[i % c.appends.size()];
      body.Append(std::string_view(bytes).substr(0, n));
    }
    EXPECT_LE(Allocated(body), body.Memory());
    const auto pieces = static_cast<std::int64_t>(body.Pieces().size());
    EXPECT_LE(body.Memory(), static_cast<std::int64_t>(body.Size() + HeldBody::kPieceBytes) +
                                 pieces * (64 + 2 * HeldBody::kAllocationOverhead));
    std::string whole;
    for (const std::string& piece : body.Pieces())
      whole += piece;
    EXPECT_EQ(whole, std::string(body.Size(), 'b'));
    body.Clear();
    EXPECT_EQ(body.Memory(), 0);
  }
}

// Size lines carry at most so much beyond the sizes they give, in all; leading zeros count as
// extensions do, so neither lets a body of tiny chunks make the proxy read without end.
TEST(ChunkedDecoderTest, BoundsWhatSizeLinesCarryBeyondTheirSizes) {
  struct Case {
    const char* name;
    std::string sizeLine;  // of a chunk of one byte, without its line end
    int chunks;
    ChunkedDecoder::State state;
  };
  const std::string padding(4000, 'x');
  const int many = static_cast<int>(ChunkedDecoder::kMaxExtensionBytes / 4000) + 1;
  const Case cases[] = {
      {"plain sizes", "1", many * 10, ChunkedDecoder::State::Done},
      {"extensions within the bound", "1;e=" + padding, many - 2, ChunkedDecoder::State::Done},
      {"extensions past it", "1;e=" + padding, many, ChunkedDecoder::State::Malformed},
      {"leading zeros past it", std::string(4000, '0') + "1", many,
       ChunkedDecoder::State::Malformed},
      {"blanks past it", "1" + std::string(4000, ' '), many, ChunkedDecoder::State::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChunkedDecoder decoder;
    std::string out;
    for (int i = 0; i < c.chunks && decoder.Status() == ChunkedDecoder::State::Reading; ++i)
      decoder.Append(c.sizeLine + "\r\nd\r\n", out);
    decoder.Append("0\r\nT: t\r\n\r\n", out);
    EXPECT_EQ(decoder.Status(), c.state);
    if (c.state == ChunkedDecoder::State::Done) {
      EXPECT_EQ(out, std::string(static_cast<std::size_t>(c.chunks), 'd'));
      EXPECT_EQ(decoder.Dropped(),
                (c.sizeLine.size() - 1) * static_cast<std::size_t>(c.chunks) + 4);
    }
  }
}

}  // namespace
