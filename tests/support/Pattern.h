#pragma once

#include <cstdint>
#include <string>

namespace test {

// Byte at offset `at` of the one fixed sequence every test and benchmark checks its bytes
// against: (at * 131) mod 251. Its period of 251 shares no factor with any block size, so a
// shifted or duplicated block shows up at once. Each byte is the one before plus 131 (mod 251),
// so no text the proxy rewrites in an answer ("1.1", "keep-alive", in any case) can form in it.
// tests/support/tls_peers.py serves the same sequence.
inline char PatternByte(std::int64_t at) {
  return static_cast<char>(at % 251 * 131 % 251);
}

// count bytes of the sequence, starting at offset from.
inline std::string Pattern(std::int64_t from, std::int64_t count) {
  std::string bytes(static_cast<std::size_t>(count), '\0');
  for (std::int64_t i = 0; i < count; ++i)
    bytes[static_cast<std::size_t>(i)] = PatternByte(from + i);
  return bytes;
}

}  // namespace test
