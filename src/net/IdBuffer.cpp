#include "net/IdBuffer.h"

#include <algorithm>
#include <cstring>

#include "net/IdException.h"

std::string TIdSimpleBuffer::TakeBytes(std::int64_t count) {
  CheckAvailable(count);
  std::string bytes(Memory(), static_cast<std::size_t>(count));
  Discard(count);
  return bytes;
}

void TIdSimpleBuffer::Discard(std::int64_t count) {
  CheckAvailable(count);
  std::int64_t size = Size();
  if (count == size) {
    Clear();
  } else if (count > 0) {
    std::int64_t position = Position();
    std::memmove(Memory(), Memory() + count, static_cast<std::size_t>(size - count));
    SetSize(size - count);
    SetPosition(std::max<std::int64_t>(position - count, 0));
  }
  BytesTaken(count);
}

void TIdSimpleBuffer::CheckAvailable(std::int64_t count) {
  if (count < 0 || count > Size()) throw EIdNotEnoughDataInBuffer();
}

void TIdSimpleBuffer::BytesTaken(std::int64_t count) {
  // Taking nothing is no progress worth reporting.
  if (count > 0 && BytesTakenHandler) BytesTakenHandler(this, count);
}

std::int64_t TIdManagedBuffer::Seek(std::int64_t offset, rtl::TSeekOrigin origin) {
  if (origin == rtl::TSeekOrigin::soBeginning) offset += consumedCount_;
  std::int64_t absolute = TMemoryStream::Seek(offset, origin);
  if (absolute < consumedCount_)
    absolute = TMemoryStream::Seek(consumedCount_, rtl::TSeekOrigin::soBeginning);
  return absolute - consumedCount_;
}

void TIdManagedBuffer::SetSize(std::int64_t size) {
  TMemoryStream::SetSize(std::max<std::int64_t>(size, 0) + consumedCount_);
}

std::string TIdManagedBuffer::ToString() const {
  return std::string(Memory(), static_cast<std::size_t>(UnreadSize()));
}

void TIdManagedBuffer::Discard(std::int64_t count) {
  CheckAvailable(count);
  if (count == UnreadSize()) {
    Clear();
  } else if (count > 0) {
    std::int64_t position = std::max<std::int64_t>(Position() - count, 0);
    consumedCount_ += count;
    SetPosition(position);
    if (consumedCount_ >= compactThreshold_) Compact();
  }
  BytesTaken(count);
}

void TIdManagedBuffer::Clear() {
  TMemoryStream::Clear();
  consumedCount_ = 0;
}

void TIdManagedBuffer::Compact() {
  if (consumedCount_ <= 0) return;
  std::int64_t unread = UnreadSize();
  std::int64_t position = Position();
  std::memmove(StoredMemory(), StoredMemory() + consumedCount_, static_cast<std::size_t>(unread));
  consumedCount_ = 0;
  TMemoryStream::SetSize(unread);
  SetPosition(position);
}
