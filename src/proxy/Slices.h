#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The arithmetic of paced slices. Pure, safe from any thread.
namespace proxy {

// Bytes that one paced period may carry: limit x 1000, in 64 bits so that no 32-bit limit
// overflows. A limit of 0 or less gives 0 or less, which FirstChars/RemoveFirstChars treat as
// nothing.
constexpr std::int64_t SliceSize(std::int32_t speedLimit) {
  return static_cast<std::int64_t>(speedLimit) * 1000;
}

// The first n bytes: empty for n <= 0, the whole text when n exceeds its length.
constexpr std::string_view FirstChars(std::string_view text, std::int64_t n) {
  if (n <= 0) return {};
  if (static_cast<std::uint64_t>(n) >= text.size()) return text;
  return text.substr(0, static_cast<std::size_t>(n));
}

// Removes the first n bytes: nothing for n <= 0, everything when n exceeds the length.
inline void RemoveFirstChars(std::string& text, std::int64_t n) {
  text.erase(0, FirstChars(text, n).size());
}

}  // namespace proxy
