#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "rtl/Stream.h"

class TIdSimpleBuffer;
// Told after bytes have been removed from the front of a buffer.
using TIdBytesTakenHandler = std::function<void(TIdSimpleBuffer* ABuffer, std::int64_t ACount)>;

// A byte buffer that is filled at the end and emptied from the front. Removing bytes moves the
// remaining ones to the front at once, which suits small scratch buffers only.
class TIdSimpleBuffer : public rtl::TMemoryStream {
 public:
  TIdBytesTakenHandler BytesTakenHandler;

  // The first count bytes as text, removed from the buffer. Raises EIdNotEnoughDataInBuffer, with
  // the buffer unchanged, when fewer are held.
  virtual std::string TakeBytes(std::int64_t count);
  // Removes the first count bytes; raises as TakeBytes does.
  virtual void Discard(std::int64_t count);

 protected:
  void CheckAvailable(std::int64_t count);
  void BytesTaken(std::int64_t count);
};

// The connection's input buffer. Taking bytes only advances ConsumedCount; the unread bytes are
// moved to the front once CompactThreshold bytes have been consumed, and the memory is released
// when everything has been taken. So a stream of any length is buffered with a bounded number of
// moves per byte.
//
// As a stream it shows only the unread bytes: Size, positions and Memory all start at the first
// unread byte.
class TIdManagedBuffer : public TIdSimpleBuffer {
 public:
  static constexpr std::int64_t DefaultCompactThreshold = 32768;

  std::int64_t ConsumedCount() const { return consumedCount_; }
  std::int64_t CompactThreshold() const { return compactThreshold_; }
  void SetCompactThreshold(std::int64_t value) { compactThreshold_ = value; }

  std::int64_t Seek(std::int64_t offset, rtl::TSeekOrigin origin) override;
  std::int64_t Size() override { return UnreadSize(); }
  void SetSize(std::int64_t size) override;
  char* Memory() override { return StoredMemory() + consumedCount_; }
  const char* Memory() const override { return StoredMemory() + consumedCount_; }
  std::string ToString() const override;

  void Discard(std::int64_t count) override;
  // Releases the memory; nothing is unread or consumed afterwards.
  void Clear() override;
  // Moves the unread bytes to the front of the storage.
  void Compact();

 private:
  std::int64_t UnreadSize() const { return StoredSize() - consumedCount_; }

  std::int64_t consumedCount_ = 0;
  std::int64_t compactThreshold_ = DefaultCompactThreshold;
};
