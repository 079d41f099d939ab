#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace test {

// Polls `condition` until it holds or timeoutMs has passed; returns its last value.
template <class Condition>
bool WaitUntil(Condition condition, std::int32_t timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace test
