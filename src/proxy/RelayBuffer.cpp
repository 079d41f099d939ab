#include "proxy/RelayBuffer.h"

#include <algorithm>
#include <cstring>

namespace proxy {

std::span<char> RelayBuffer::Space(std::size_t wanted) {
  if (wanted == 0) return {};
  if (Empty()) begin_ = end_ = 0;
  if (capacity_ == 0 || (roomFilled_ && capacity_ < maxCapacity_)) {
    // The last receive took all the room there was, so more is likely ready: grow.
    Reallocate(capacity_ == 0 ? std::min(kInitialCapacity, maxCapacity_)
                              : std::min(capacity_ * 2, maxCapacity_));
  } else if (end_ == capacity_ && begin_ > 0) {
    std::memmove(storage_.get(), storage_.get() + begin_, Size());
    end_ -= begin_;
    begin_ = 0;
  }
  roomFilled_ = false;
  room_ = std::min(wanted, capacity_ - end_);
  roomIsAll_ = room_ == capacity_ - end_;
  return {storage_.get() + end_, room_};
}

void RelayBuffer::Commit(std::size_t count) {
  end_ += count;
  roomFilled_ = roomIsAll_ && count == room_;
}

void RelayBuffer::Consume(std::size_t count) {
  begin_ += std::min(count, Size());
}

void RelayBuffer::ReplaceFront(std::size_t count, std::string_view replacement) {
  if (replacement.size() > begin_ + count) {
    // No room before the rest: the front and the rest move to new storage.
    const std::size_t rest = Size() - count;
    const std::size_t capacity = std::max(capacity_, replacement.size() + rest);
    auto storage = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(storage.get(), replacement.data(), replacement.size());
    if (rest > 0)
      std::memcpy(storage.get() + replacement.size(), storage_.get() + begin_ + count, rest);
    storage_ = std::move(storage);
    capacity_ = capacity;
    begin_ = 0;
    end_ = replacement.size() + rest;
    roomFilled_ = false;
    return;
  }
  // Ends where the replaced bytes ended, so nothing after them moves.
  begin_ = begin_ + count - replacement.size();
  if (!replacement.empty())
    std::memcpy(storage_.get() + begin_, replacement.data(), replacement.size());
}

void RelayBuffer::Release() {
  if (!Empty()) return;
  storage_.reset();
  capacity_ = begin_ = end_ = 0;
  roomFilled_ = false;
}

void RelayBuffer::Reallocate(std::size_t capacity) {
  auto storage = std::make_unique_for_overwrite<char[]>(capacity);
  if (!Empty()) std::memcpy(storage.get(), storage_.get() + begin_, Size());
  end_ -= begin_;
  begin_ = 0;
  storage_ = std::move(storage);
  capacity_ = capacity;
}

}  // namespace proxy
