#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/MessageRewriting.h"

namespace proxy {

// The header block of a request, taken from reads of any size.
//
// Lines end where SplitLines ends them - at CR LF, a lone CR or a lone LF - and only there: a
// read that ends inside a line leaves the line open for the next one, and a CR at the end of one
// read with an LF at the start of the next is one line end. The block ends with its empty line;
// what follows is the body, which the capture leaves to the caller untouched. A NUL byte ends the
// request text as it does for SplitLines: the line before it is kept, nothing after it is.
class RequestCapture {
 public:
  // Takes header bytes from the front of bytes and gives how many it took; the rest belongs to
  // the body. After the block has ended it takes only the LF of a CR LF whose CR ended it, and
  // after a NUL it takes everything.
  std::size_t Append(std::string_view bytes);
  // The client has closed: a line still open is the last one.
  void Finish();

  // The lines so far, without line ends; the empty line that ended the block is the last one.
  const LineList& Lines() const { return lines_; }
  bool HeaderComplete() const { return state_ == State::Complete; }
  // A NUL byte ended the request text before the block did.
  bool Cut() const { return state_ == State::Cut; }
  // The block ended in a CR at the end of the bytes so far: an LF that comes next still belongs
  // to it.
  bool AwaitsLf() const { return afterCr_; }
  // Header bytes taken so far, line ends included as they came.
  std::int64_t Size() const { return size_; }
  // The body length a "Content-Length:" header line announces, once the block is complete.
  std::optional<std::int64_t> ContentLength() const { return contentLength_; }
  // The first "Content-Length:" line holds something other than a plain decimal number.
  bool ContentLengthMalformed() const { return contentLengthMalformed_; }

 private:
  enum class State { Header, Complete, Cut };

  void EndLine();

  LineList lines_;
  std::string open_;  // the line being read, while its end has not come
  bool afterCr_ = false;
  State state_ = State::Header;
  std::int64_t size_ = 0;
  std::optional<std::int64_t> contentLength_;
  bool contentLengthMalformed_ = false;
};

}  // namespace proxy
