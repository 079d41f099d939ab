#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proxy/Limits.h"

namespace proxy {

// The memory that request bodies held whole may take in all (chunked bodies being decoded, bodies
// kept to ask an origin again), so that many clients sending such bodies cannot exhaust the
// machine. Any thread.
class BodyBudget {
 public:
  explicit BodyBudget(std::int64_t bytes) : bytes_(bytes) {}

  // What one run holds of the budget; given back when the share goes.
  class Share {
   public:
    explicit Share(BodyBudget& budget) : budget_(budget) {}
    ~Share() { Release(); }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;

    // Makes the share total bytes; false, and no change, when the budget has no room for more.
    // A smaller total gives the difference back.
    bool Hold(std::int64_t total);
    // Gives all of the share back.
    void Release() { budget_.used_.fetch_sub(std::exchange(held_, 0)); }

   private:
    BodyBudget& budget_;
    std::int64_t held_ = 0;
  };

  std::int64_t Used() const { return used_.load(); }

 private:
  const std::int64_t bytes_;
  std::atomic<std::int64_t> used_{0};
};

// A request body held whole, in pieces of at most kPieceBytes filled one after the other: what it
// takes follows what it holds however small the reads it came in, and it is never copied whole as
// it grows. One thread.
class HeldBody {
 public:
  // A body kept to ask again fits one piece, reserved whole.
  static constexpr auto kPieceBytes = static_cast<std::size_t>(kMaxKeptBodyBytes);
  // What an allocation costs beyond the room it asks for: the allocator's header and rounding.
  static constexpr std::int64_t kAllocationOverhead = 32;

  void Append(std::string_view bytes);
  // Room for this many bytes, made at once: for a body whose length is known, at most kPieceBytes,
  // before anything is appended.
  void Reserve(std::size_t bytes);
  // Frees it all.
  void Clear();

  const std::vector<std::string>& Pieces() const { return pieces_; }
  std::uint64_t Size() const { return size_; }
  // The memory it takes: the room of its pieces and of the list that holds them, with the
  // allocator's overhead.
  std::int64_t Memory() const;

 private:
  static std::int64_t MemoryOf(const std::string& piece);

  std::vector<std::string> pieces_;
  std::uint64_t size_ = 0;
  std::int64_t fullPiecesMemory_ = 0;  // of every piece but the last, which alone still grows
};

}  // namespace proxy
