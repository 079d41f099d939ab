#include "net/IdBuffer.h"

#include <gtest/gtest.h>

#include <memory>

#include "net/IdException.h"
#include "support/Pattern.h"

namespace {

using test::Pattern;

void Append(TIdSimpleBuffer& buffer, const std::string& bytes) {
  buffer.Seek(0, rtl::TSeekOrigin::soEnd);
  buffer.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

// Both kinds must behave alike for a caller that only takes from the front.
class BufferKindTest : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<TIdSimpleBuffer> Make() {
    if (GetParam()) return std::make_unique<TIdManagedBuffer>();
    return std::make_unique<TIdSimpleBuffer>();
  }
};

TEST_P(BufferKindTest, TakesFromTheFrontAndReportsWhatWasTaken) {
  auto buffer = Make();
  std::vector<std::int64_t> reported;
  buffer->BytesTakenHandler = [&](TIdSimpleBuffer* b, std::int64_t n) {
    EXPECT_EQ(b, buffer.get());
    reported.push_back(n);
  };
  Append(*buffer, "0123456789");
  EXPECT_EQ(buffer->TakeBytes(3), "012");
  EXPECT_EQ(buffer->TakeBytes(0), "");
  EXPECT_EQ(buffer->Size(), 7);
  EXPECT_EQ(std::string(buffer->Memory(), 7), "3456789");
  Append(*buffer, "ab");
  EXPECT_EQ(buffer->TakeBytes(9), "3456789ab");
  EXPECT_EQ(buffer->Size(), 0);
  EXPECT_EQ(reported, (std::vector<std::int64_t>{3, 9}));
}

TEST_P(BufferKindTest, AskingForTooMuchRaisesAndLeavesTheBufferAlone) {
  auto buffer = Make();
  Append(*buffer, "0123456789");
  buffer->TakeBytes(0);
  for (std::int64_t count : {11, -1}) {
    try {
      buffer->TakeBytes(count);
      ADD_FAILURE() << "no error for " << count;
    } catch (const EIdNotEnoughDataInBuffer& e) {
      EXPECT_EQ(e.Message(), "Not enough data in buffer.");
    }
    EXPECT_THROW(buffer->Discard(count), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(buffer->ToString(), "0123456789");
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, BufferKindTest, ::testing::Values(false, true),
                         [](const auto& instance) {
                           return instance.param ? "Managed" : "Simple";
                         });

TEST(ManagedBufferTest, StreamViewStartsAtTheFirstUnreadByte) {
  TIdManagedBuffer buffer;
  Append(buffer, "hello world");
  buffer.Discard(6);
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_EQ(buffer.ConsumedCount(), 6);
  EXPECT_EQ(buffer.ToString(), "world");
  buffer.SetPosition(0);
  char out[8] = {};
  EXPECT_EQ(buffer.Read(out, 8), 5);
  EXPECT_EQ(std::string(out, 5), "world");
  EXPECT_EQ(buffer.Seek(-10, rtl::TSeekOrigin::soCurrent), 0);  // never before the unread bytes
  buffer.SetSize(2);
  EXPECT_EQ(buffer.ToString(), "wo");
}

// Taking bytes must not move memory until CompactThreshold bytes are consumed; the data pointer
// shows whether it did.
TEST(ManagedBufferTest, MovesBytesOnlyOnceTheThresholdIsConsumed) {
  TIdManagedBuffer buffer;
  Append(buffer, Pattern(0, 70000));
  const char* start = buffer.Memory();
  std::int64_t taken = 0;
  while (taken + 1000 < TIdManagedBuffer::DefaultCompactThreshold) {
    EXPECT_EQ(buffer.TakeBytes(1000), Pattern(taken, 1000));
    taken += 1000;
    ASSERT_EQ(buffer.Memory(), start + taken);
  }
  buffer.TakeBytes(1000);  // crosses the threshold
  taken += 1000;
  EXPECT_EQ(buffer.ConsumedCount(), 0);
  EXPECT_EQ(buffer.Memory(), start);
  EXPECT_EQ(buffer.ToString(), Pattern(taken, 70000 - taken));
  buffer.TakeBytes(buffer.Size());
  EXPECT_EQ(buffer.ConsumedCount(), 0);
  EXPECT_EQ(buffer.Size(), 0);
}

}  // namespace
