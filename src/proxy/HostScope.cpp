#include "proxy/HostScope.h"

#include <algorithm>
#include <utility>

#include "net/IdStack.h"

namespace proxy {

HostPattern::HostPattern(std::string_view text) : address_(AddressOf(text)), name_(NameOf(text)) {}

bool HostPattern::Matches(std::string_view host) const {
  const std::optional<Address> address = AddressOf(host);
  if (address_ || address) return address == address_;
  const std::string name = NameOf(host);
  if (name_.empty() || name.size() < name_.size() || !name.ends_with(name_)) return false;
  return name.size() == name_.size() || name[name.size() - name_.size() - 1] == '.';
}

std::optional<HostPattern::Address> HostPattern::AddressOf(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  // A zone names the link, not the host.
  const std::optional<TIdIPAddressBytes> parsed =
      TIdStack::ParseIPAddress(text.substr(0, text.find('%')));
  if (!parsed) return std::nullopt;
  if (parsed->IPVersion == Id_IPv6) return parsed->Bytes;
  Address address{};
  // IPv4 as its mapped IPv6 form, so that both spellings of one address compare equal.
  std::copy_n(parsed->Bytes.begin(), 4, address.begin() + 12);
  address[10] = address[11] = 0xff;
  return address;
}

std::string HostPattern::NameOf(std::string_view text) {
  if (text.ends_with('.')) text.remove_suffix(1);
  std::string name(text);
  std::ranges::transform(name, name.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return name;
}

void HostScope::SetList(std::string_view list) {
  std::vector<HostPattern> patterns;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start) patterns.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  rtl::TMutexGuard lock(mutex_);
  list_ = list;
  patterns_ = std::move(patterns);
}

std::string HostScope::List() const {
  rtl::TMutexGuard lock(mutex_);
  return list_;
}

bool HostScope::Covers(std::string_view host) const {
  rtl::TMutexGuard lock(mutex_);
  return patterns_.empty() || std::ranges::any_of(patterns_, [host](const HostPattern& pattern) {
           return pattern.Matches(host);
         });
}

}  // namespace proxy
