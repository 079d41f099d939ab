#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "proxy/Limits.h"
#include "rtl/CriticalSection.h"
#include "rtl/ThreadSafety.h"

namespace proxy {

// One slow line for every run that sends in one direction: at most limit x 1000 bytes a second in
// all, handed out a tenth of a second at a time. As a tenth begins, its tenth of the line is shared
// max-min fair between the runs waiting for room then: each gets an equal share, one that wants
// less takes only that, and what it leaves goes to the others. What is left after that goes to the
// first runs that ask during the tenth. Room not taken within its tenth is gone, so a quiet line
// earns no burst. The limit is read as each tenth begins: a change holds within a tenth, and 0 or
// below hands out nothing.
//
// Any thread; each Seat is used by one thread at a time.
class SharedPacer {
 public:
  using Clock = std::chrono::steady_clock;
  using NowFunction = std::function<Clock::time_point()>;

  static constexpr Clock::duration kTick = kSharedPacingTick;
  static constexpr std::int64_t kTicksPerPeriod = kPacingPeriod / kSharedPacingTick;

  // now: the clock (tests pass a fake one).
  explicit SharedPacer(const std::atomic<std::int32_t>& limit, NowFunction now = Clock::now);
  SharedPacer(const SharedPacer&) = delete;
  SharedPacer& operator=(const SharedPacer&) = delete;

  // A run's place on the line, from its first byte to its last.
  class Seat {
   public:
    explicit Seat(SharedPacer& line);
    ~Seat();
    Seat(const Seat&) = delete;
    Seat& operator=(const Seat&) = delete;

    // What may be sent now, at most wanted; 0 when nothing may until the next tenth (NextTick), in
    // which the seat then has its share of wanted. Whatever it returns counts as sent.
    std::int64_t Room(std::int64_t wanted);

   private:
    friend class SharedPacer;
    SharedPacer& line_;
    std::int64_t wanted_ = 0;   // asked for and not yet had: the seat's want in the next tenth
    std::int64_t granted_ = 0;  // the rest of this tenth's share
    std::int64_t had_ = 0;      // all the room it was given
  };

  // When the next tenth begins.
  Clock::time_point NextTick() const;
  // Runs seated on the line now.
  std::size_t Seats() const;

 private:
  std::int64_t TickAt(Clock::time_point at) const;
  // Opens the tenth `tick`: shares its room among the seats that wait.
  void Share(std::int64_t tick) REQUIRES(mutex_);

  const std::atomic<std::int32_t>& limit_;
  const NowFunction now_;
  const Clock::time_point epoch_;
  mutable rtl::TMutex mutex_;
  std::vector<Seat*> seats_ GUARDED_BY(mutex_);
  std::int64_t tick_ GUARDED_BY(mutex_) = -1;
  std::int64_t spare_ GUARDED_BY(mutex_) = 0;  // this tenth's room that no waiting seat took
};

}  // namespace proxy
