#pragma once

// The rate of a byte count that only grows (what the relays have sent to clients), read once a
// heartbeat: the bytes counted since the last reading over the time since it, in kilobytes
// (1000 bytes) per second. Pure: the caller gives the count and the time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ui {

class TRateMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // The rate since the last reading; 0 at the first, and when no time has passed.
  double Read(std::uint64_t total, Clock::time_point now);

  // "4.0 KB/s"; whole numbers from 100 up, where a tenth says nothing.
  static std::string Format(double kilobytesPerSecond);

 private:
  struct Reading {
    std::uint64_t total;
    Clock::time_point at;
  };
  std::optional<Reading> last_;
};

}  // namespace ui
