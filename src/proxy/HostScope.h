#pragma once

// Which hosts the settings slow: none listed, every host; else each name listed and the names
// under it (example.com takes in cdn.example.com, not badexample.com), and each address listed,
// that address alone. Letter case and a name's final dot do not count; addresses are compared as
// addresses (IPv6 with or without brackets, an IPv4 address and its IPv4-mapped IPv6 form alike),
// never as text.
//
// HostPattern is pure. HostScope is the list in force: any thread may ask Covers while the main
// thread replaces the list.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/CriticalSection.h"
#include "rtl/ThreadSafety.h"

namespace proxy {

class HostPattern {
 public:
  // A host name or an address literal, as the user wrote it.
  explicit HostPattern(std::string_view text);
  // host: as a request names it (a name, an IPv4 address, an IPv6 one in brackets or not).
  bool Matches(std::string_view host) const;

 private:
  using Address = std::array<unsigned char, 16>;
  static std::optional<Address> AddressOf(std::string_view text);
  static std::string NameOf(std::string_view text);

  std::optional<Address> address_;
  std::string name_;  // lower case, without a final dot; used when address_ is none
};

class HostScope {
 public:
  // Host names and address literals separated by commas; empty: every host.
  void SetList(std::string_view list);
  // As it was set.
  std::string List() const;
  bool Covers(std::string_view host) const;

 private:
  mutable rtl::TMutex mutex_;
  std::string list_ GUARDED_BY(mutex_);
  std::vector<HostPattern> patterns_ GUARDED_BY(mutex_);
};

}  // namespace proxy
