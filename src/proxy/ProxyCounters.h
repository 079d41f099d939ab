#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "proxy/HostScope.h"

namespace proxy {

// The numbers every handler run shares: the limit set in the window, in units of 1000 bytes per
// second per connection, and the number of runs that have made their upstream client; and the
// two settings only the command line changes: how long each answer is held back, and the limit
// for what clients send (0: unpaced).
struct ProxyCounters {
  std::atomic<std::int32_t> SpeedLimit{4};
  std::atomic<std::int32_t> DelayMs{0};
  std::atomic<std::int32_t> UploadLimit{0};
  // The limits hold for all downloads together, and for all uploads together; else for each.
  std::atomic<bool> SharedMode{false};
  // The hosts the limits and the delay apply to.
  HostScope Scope;
  std::atomic<std::int32_t> ConnectionCount{0};
  // Every byte the relays have written to clients, for the window's rate; it only grows.
  std::atomic<std::uint64_t> BytesToClients{0};
  // Held while a run changes ConnectionCount and shows the new count, so that counts are shown
  // in the order they were reached and the last one shown is the true one.
  std::mutex CountShownMutex;
};

// The process-wide instance.
ProxyCounters& Counters();

}  // namespace proxy
