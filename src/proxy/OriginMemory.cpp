#include "proxy/OriginMemory.h"

#include <algorithm>

#include "proxy/http/FieldSyntax.h"

namespace proxy {

std::string OriginMemory::Key(const std::string& host, std::int32_t port) {
  std::string key = host;
  std::transform(key.begin(), key.end(), key.begin(), http::AsciiLower);
  return key + ":" + std::to_string(port);
}

bool OriginMemory::Knows(const std::string& host, std::int32_t port) const {
  const std::string key = Key(host, port);
  rtl::TMutexGuard lock(mutex_);
  return known_.contains(key);
}

void OriginMemory::Remember(const std::string& host, std::int32_t port) {
  std::string key = Key(host, port);
  rtl::TMutexGuard lock(mutex_);
  if (!known_.insert(key).second) return;
  order_.push_back(std::move(key));
  if (order_.size() > kMaxRememberedOrigins) {
    known_.erase(order_.front());
    order_.pop_front();
  }
}

}  // namespace proxy
