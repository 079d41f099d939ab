#pragma once

#include <cstdint>
#include <string>

namespace test {

// count bytes of a fixed sequence that does not repeat with any power-of-two period, starting at
// offset from; a shifted or duplicated block shows up at once.
inline std::string Pattern(std::int64_t from, std::int64_t count) {
  std::string bytes(static_cast<std::size_t>(count), '\0');
  for (std::int64_t i = 0; i < count; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<char>((from + i) * 131 % 251);
  return bytes;
}

}  // namespace test
