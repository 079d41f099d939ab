#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackProxy.h"

namespace test {

// A slice pause the test opens one slice at a time, so pacing is observed without sleeping.
class PauseGate {
 public:
  void Pause(std::int32_t milliseconds);
  // Lets one waiting (or the next) pause pass.
  void Release();
  // Lets every pause pass from now on.
  void Open();
  // Pauses entered so far.
  int Entered() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int permits_ = 0;
  int entered_ = 0;
  bool open_ = false;
};

}  // namespace test
