#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "proxy/http/FieldSyntax.h"

namespace proxy::http {

// Decodes a chunked body from reads of any size into the data it carries. Chunk extensions and
// trailer fields are read and dropped. Lines end as request lines do (LineEnds); a chunk-size line
// over kMaxLineBytes, size lines whose bytes beyond the size (extensions, blanks, leading zeros)
// pass kMaxExtensionBytes in all, a trailer section over
// kMaxTrailerBytes or a size that is no hex number are malformed: what a body may carry besides
// its data is bounded, however many chunks it has.
class ChunkedDecoder {
 public:
  static constexpr std::size_t kMaxLineBytes = 4096;
  static constexpr std::size_t kMaxExtensionBytes = std::size_t{1024} * 1024;
  static constexpr std::size_t kMaxTrailerBytes = 65536;

  enum class State { Reading, Done, Malformed, TooLarge };

  // A body whose data would pass maxBytes in all is TooLarge, as soon as a chunk size says so.
  explicit ChunkedDecoder(std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max())
      : maxBytes_(maxBytes) {}

  // Takes body bytes from the front of bytes, appends the data among them to out, and gives how
  // many it took: all of them while the body goes on; after its end, what follows is not the
  // body's.
  std::size_t Append(std::string_view bytes, std::string& out);
  State Status() const { return state_; }
  // Data bytes decoded so far.
  std::uint64_t Decoded() const { return decoded_; }
  // Bytes of size lines beyond their sizes and of trailer fields read so far: nothing of them
  // comes out.
  std::uint64_t Dropped() const { return extensionBytes_ + trailerBytes_; }

 private:
  enum class Step { Size, AfterSize, Extension, Data, DataEnd, Trailer };

  void LineEnded();
  void Take(char c);

  const std::uint64_t maxBytes_;
  State state_ = State::Reading;
  Step step_ = Step::Size;
  LineEnds lineEnds_;
  std::uint64_t size_ = 0;  // of the chunk being read, and then what is left of it
  std::uint64_t decoded_ = 0;
  std::size_t digits_ = 0;
  std::size_t lineBytes_ = 0;
  std::size_t extensionBytes_ = 0;  // of every size line, beyond the size it gives
  std::size_t trailerBytes_ = 0;
  bool trailerLineEmpty_ = true;
};

}  // namespace proxy::http
