#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/MessageRewriting.h"

namespace proxy {

// The header block of a request, taken from reads of any size.
//
// Lines end at LF, with a CR before it dropped; a CR followed by anything else, or a NUL byte,
// makes the block malformed, since an origin might read such a line differently from us. Empty
// lines before the request line are skipped; the block ends with the next empty line. What
// follows it is the body, which the capture leaves to the caller untouched.
class RequestCapture {
 public:
  // Takes header bytes from the front of bytes and gives how many it took; the rest belongs to
  // the body. Takes nothing once the block has ended or turned out malformed.
  std::size_t Append(std::string_view bytes);

  // The lines so far, without line ends; the empty line that ended the block is the last one.
  const LineList& Lines() const { return lines_; }
  bool HeaderComplete() const { return state_ == State::Complete; }
  bool Malformed() const { return state_ == State::Malformed; }
  // Header bytes taken so far, line ends included as they came.
  std::int64_t Size() const { return size_; }

 private:
  enum class State { Header, Complete, Malformed };

  void EndLine();

  LineList lines_;
  std::string open_;  // the line being read, while its end has not come
  bool afterCr_ = false;
  State state_ = State::Header;
  std::int64_t size_ = 0;
};

}  // namespace proxy
