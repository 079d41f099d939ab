#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_set>

#include "proxy/Limits.h"
#include "rtl/CriticalSection.h"
#include "rtl/ThreadSafety.h"

namespace proxy {

// The origins (host and port) that refused HTTP/1.0 while the program runs, so that they are
// asked in HTTP/1.1 from the first try. At most kMaxRememberedOrigins are kept; the oldest go
// first. Host names are the same in any letter case. Any thread.
class OriginMemory {
 public:
  bool Knows(const std::string& host, std::int32_t port) const EXCLUDES(mutex_);
  void Remember(const std::string& host, std::int32_t port) EXCLUDES(mutex_);

 private:
  static std::string Key(const std::string& host, std::int32_t port);

  mutable rtl::TMutex mutex_;
  std::list<std::string> order_ GUARDED_BY(mutex_);  // oldest first
  std::unordered_set<std::string> known_ GUARDED_BY(mutex_);
};

}  // namespace proxy
