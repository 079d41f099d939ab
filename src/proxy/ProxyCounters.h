#pragma once

#include <atomic>
#include <cstdint>

namespace proxy {

// The two numbers every handler run shares: the limit set in the window, in units of 1000 bytes
// per second per connection, and the number of runs that have made their upstream client.
struct ProxyCounters {
  std::atomic<std::int32_t> SpeedLimit{4};
  std::atomic<std::int32_t> ConnectionCount{0};
};

// The process-wide instance.
ProxyCounters& Counters();

}  // namespace proxy
