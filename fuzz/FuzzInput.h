#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Takes choices and pieces of text from the front of a fuzz input. Once the input runs out every
// choice is 0 and every piece empty, so a short input still makes a whole, valid run.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  std::uint8_t Byte() {
    if (rest_.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }
  bool Bool() { return (Byte() & 1) != 0; }
  // Up to 15 read sizes of 0 to 255 bytes, for cutting a stream into reads; used in turn.
  std::vector<std::size_t> Cuts() {
    std::vector<std::size_t> cuts(Byte() % 16);
    for (std::size_t& cut : cuts)
      cut = Byte();
    return cuts;
  }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
  // The next count bytes, or as many as are left.
  std::string Take(std::size_t count) {
    std::string piece(rest_.substr(0, std::min(count, rest_.size())));
    rest_.remove_prefix(piece.size());
    return piece;
  }
  // A piece of at most max bytes, its length given by the byte before it.
  std::string Piece(std::size_t max = 255) { return Take(std::min<std::size_t>(Byte(), max)); }
  // Everything not taken yet.
  std::string_view Rest() {
    std::string_view rest = rest_;
    rest_ = {};
    return rest;
  }

 private:
  std::string_view rest_;
};

// Stops the run with a message libFuzzer reports as a crash, with the input that caused it.
[[noreturn]] inline void FuzzFail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : FuzzFail(__FILE__ ":" FUZZ_STRINGIFY(__LINE__) ": " #condition))
#define FUZZ_STRINGIFY(x) FUZZ_STRINGIFY2(x)
#define FUZZ_STRINGIFY2(x) #x
