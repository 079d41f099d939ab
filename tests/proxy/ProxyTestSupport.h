#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackProxy.h"
#include "support/OriginServer.h"

namespace test {

// A proxy request for the origin's path, as a browser would send it (keep-alive asked).
std::string Get(std::int32_t originPort, const std::string& path = "/");

// An origin that reads until the proxy falls silent, for requests whose header block never ends.
OriginScript ReadUntilQuiet(std::string answer);

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
