#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

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

    // Grows the share to total bytes; false, and no change, when the budget has no room for it.
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

}  // namespace proxy
