#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace proxy {

// Decodes a chunked request body from reads of any size, so that it can go upstream with a
// Content-Length. Chunk extensions and trailer fields are read and dropped. Line ends are CR LF
// or a lone LF; a CR followed by anything else is malformed.
class ChunkedBody {
 public:
  // The most a body may hold decoded; it is held whole before anything goes upstream.
  static constexpr std::size_t kMaxBytes = std::size_t{16} * 1024 * 1024;
  // The most a chunk-size line or the trailer section may take.
  static constexpr std::size_t kMaxLineBytes = 4096;
  static constexpr std::size_t kMaxTrailerBytes = 65536;

  enum class State { Reading, Done, Malformed, TooLarge };

  // Takes body bytes from the front of bytes and gives how many it took: all of them while the
  // body goes on; after its end, what follows is not the body's.
  std::size_t Append(std::string_view bytes);
  State Status() const { return state_; }
  // The body decoded so far.
  const std::string& Data() const { return data_; }

 private:
  enum class Step { Size, AfterSize, Extension, Data, DataEnd, Trailer };

  void LineEnded();
  void Take(char c);

  State state_ = State::Reading;
  Step step_ = Step::Size;
  bool afterCr_ = false;
  std::uint64_t size_ = 0;  // of the chunk being read
  std::size_t digits_ = 0;
  std::size_t lineBytes_ = 0;
  std::size_t trailerBytes_ = 0;
  bool trailerLineEmpty_ = true;
  std::string data_;
};

}  // namespace proxy
