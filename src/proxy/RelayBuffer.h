#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace proxy {

// Bytes read from one side of a run and not yet written to the other.
//
// The storage starts small and doubles only when a receive has filled all the free room, up to a
// cap; it is never filled in advance. So a run holds about what it has actually
// read, and Release gives even that back while the run waits. One thread at a time.
class RelayBuffer {
 public:
  static constexpr std::size_t kInitialCapacity = 4096;

  explicit RelayBuffer(std::size_t maxCapacity) : maxCapacity_(maxCapacity) {}

  // The bytes held, oldest first.
  std::string_view Data() const { return {storage_.get() + begin_, end_ - begin_}; }
  std::size_t Size() const { return end_ - begin_; }
  bool Empty() const { return begin_ == end_; }
  std::size_t Capacity() const { return capacity_; }

  // Room for at most `wanted` more bytes after those held; empty only when wanted is 0 or the
  // buffer is full at its cap. Write into it, then Commit what was written.
  std::span<char> Space(std::size_t wanted);
  void Commit(std::size_t count);
  // Drops the count oldest bytes (they have been sent).
  void Consume(std::size_t count);
  // Puts replacement in place of the count oldest bytes. A longer one may take the storage past
  // its cap, by the difference.
  void ReplaceFront(std::size_t count, std::string_view replacement);
  // Frees the storage when nothing is held.
  void Release();

 private:
  void Reallocate(std::size_t capacity);

  std::size_t maxCapacity_;
  std::unique_ptr<char[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t room_ = 0;     // the room the last Space gave
  bool roomIsAll_ = false;   // that room was all the free room there was
  bool roomFilled_ = false;  // and the last Commit filled it
};

}  // namespace proxy
