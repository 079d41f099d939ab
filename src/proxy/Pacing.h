#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "proxy/Limits.h"

namespace proxy {

// The periods one direction of one connection is paced by: in every kPacingPeriod at most
// SliceSize(limit) bytes, the limit read once as the period starts. A period begins with the
// first bytes to send after the last one ended, so time spent with nothing to send earns no
// allowance. What a limit of 0 or below means is the maker's choice: the direction pauses until
// the limit is raised, or goes unpaced.
class Pacing {
 public:
  using Clock = std::chrono::steady_clock;
  using PauseFunction = std::function<void(std::int32_t milliseconds)>;
  enum class AtZero { Pauses, Unpaced };

  // pause sleeps (tests may pass one that only records); after it returns, the next period begins.
  Pacing(const std::atomic<std::int32_t>& limit, AtZero atZero, PauseFunction pause);

  // What may still be sent now, opening a period when none is under way; at most `wanted`.
  std::int64_t Room(std::int64_t wanted);
  // What the period under way may still send, without opening one.
  std::int64_t Left() const;
  void Spend(std::int64_t bytes);
  // The current period is open and has nothing left.
  bool Spent() const;
  // Pauses until the current period ends and starts the next where it ended, so that periods do
  // not drift; a pause that only records moves the periods on all the same.
  void AwaitNextPeriod();
  // Opens a new period now, whatever is left of the one under way.
  void Restart() { StartPeriod(Clock::now()); }
  // The limit the current period was opened with.
  std::int32_t Limit() const { return limit_; }

  // Sends all of bytes through send as the periods allow, pausing between them; send takes a part
  // and gives the count it sent, 0 or less when it failed. False once a send failed.
  bool SendPaced(std::string_view bytes,
                 const std::function<std::int64_t(std::string_view part)>& send);

  // Waits out a delay, as a slow origin would keep the run waiting: pauses in steps of at most a
  // period until `until`; false when giveUp says to stop first. The periods are left as they are.
  bool DelayUntil(Deadline until, const std::function<bool()>& giveUp) const;

 private:
  void StartPeriod(Clock::time_point start);
  bool Unpaced() const { return atZero_ == AtZero::Unpaced && limit_ <= 0; }

  const std::atomic<std::int32_t>& source_;
  const AtZero atZero_;
  const PauseFunction pause_;
  bool periodOpen_ = false;
  Clock::time_point periodEnd_;
  std::int32_t limit_ = 0;
  std::int64_t allowance_ = 0;  // bytes the current period may still send
};

}  // namespace proxy
