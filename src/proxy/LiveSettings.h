#pragma once

#include <atomic>
#include <cstdint>

#include "proxy/HostScope.h"

namespace proxy {

// What the user sets while the proxy runs, read by every run as it goes: the limit set in the
// window, in units of 1000 bytes per second per connection, how long each answer is held back,
// and the limit for what clients send (0: unpaced). Written by the main thread, read by any.
struct LiveSettings {
  std::atomic<std::int32_t> SpeedLimit{4};
  std::atomic<std::int32_t> DelayMs{0};
  std::atomic<std::int32_t> UploadLimit{0};
  // The limits hold for all downloads together, and for all uploads together; else for each.
  std::atomic<bool> SharedMode{false};
  // The hosts the limits and the delay apply to.
  HostScope Scope;
};

// The process-wide instance.
LiveSettings& Live();

}  // namespace proxy
