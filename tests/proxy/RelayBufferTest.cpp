#include "proxy/RelayBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using proxy::RelayBuffer;

// Stands for one receive: writes up to `available` bytes into the room given, like recv would.
std::size_t Receive(RelayBuffer& buffer, std::string_view available, std::size_t wanted = 1 << 30) {
  std::span<char> room = buffer.Space(wanted);
  const std::size_t n = std::min(room.size(), available.size());
  std::memcpy(room.data(), available.data(), n);
  buffer.Commit(n);
  return n;
}

TEST(RelayBufferTest, GrowsOnlyWhileReceivesFillAllTheRoomUpToItsCap) {
  RelayBuffer buffer(4 * RelayBuffer::kInitialCapacity);
  const std::string ready(100000, 'r');
  // Little ready: the buffer stays at its first size.
  EXPECT_EQ(Receive(buffer, "abc"), 3u);
  buffer.Consume(3);
  EXPECT_EQ(Receive(buffer, "de"), 2u);
  EXPECT_EQ(buffer.Capacity(), RelayBuffer::kInitialCapacity);
  // Receives that fill all the room double it, up to the cap, keeping what is held.
  std::size_t got = 2;
  for (int i = 0; i < 5; ++i)
    got += Receive(buffer, ready);
  EXPECT_EQ(buffer.Capacity(), 4 * RelayBuffer::kInitialCapacity);
  EXPECT_EQ(buffer.Size(), got);
  EXPECT_EQ(buffer.Data().substr(0, 4), "derr");
  EXPECT_TRUE(buffer.Space(1).empty());  // full at the cap
  // A room cut short by the caller says nothing about what else is ready: no growth.
  RelayBuffer small(1 << 20);
  Receive(small, ready, 10);
  Receive(small, ready, 10);
  EXPECT_EQ(small.Capacity(), RelayBuffer::kInitialCapacity);
}

TEST(RelayBufferTest, ReleasesOnlyWhatIsNoLongerHeld) {
  RelayBuffer buffer(1 << 20);
  Receive(buffer, "HTTP/1.1 keep-alive|body");
  buffer.ReplaceFront(19, "HTTP/1.0 close");
  EXPECT_EQ(buffer.Data(), "HTTP/1.0 close|body");
  buffer.Release();
  EXPECT_EQ(buffer.Data(), "HTTP/1.0 close|body");
  buffer.Consume(buffer.Size());
  buffer.Release();
  EXPECT_EQ(buffer.Capacity(), 0u);
  EXPECT_EQ(Receive(buffer, "again"), 5u);
  EXPECT_EQ(buffer.Data(), "again");
}

}  // namespace
