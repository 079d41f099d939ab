#pragma once

#include <cstdint>
#include <string_view>

// Cuts of byte strings by a count that may be negative or past the end. Pure, safe from any
// thread.
namespace proxy {

// The first n bytes: empty for n <= 0, the whole text when n exceeds its length.
constexpr std::string_view FirstChars(std::string_view text, std::int64_t n) {
  if (n <= 0) return {};
  if (static_cast<std::uint64_t>(n) >= text.size()) return text;
  return text.substr(0, static_cast<std::size_t>(n));
}

}  // namespace proxy
