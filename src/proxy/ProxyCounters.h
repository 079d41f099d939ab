#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace proxy {

// What the runs count for the window: the number of runs that have made their upstream client,
// and every byte the relays have written to clients.
struct ProxyCounters {
  std::atomic<std::int32_t> ConnectionCount{0};
  // For the window's rate; it only grows.
  std::atomic<std::uint64_t> BytesToClients{0};
  // Held while a run changes ConnectionCount and shows the new count, so that counts are shown
  // in the order they were reached and the last one shown is the true one.
  std::mutex CountShownMutex;
};

// The process-wide instance.
ProxyCounters& Counters();

}  // namespace proxy
