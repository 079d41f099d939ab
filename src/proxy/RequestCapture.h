#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "proxy/MessageRewriting.h"

namespace proxy {

// The request lines captured from a client, built one read at a time.
//
// The result equals re-splitting the joined lines plus each new read (a read that ends inside a
// line ends that line, lone CR or LF end lines, and everything from a NUL on in a read is
// dropped), but every byte is split once, so capture is linear in the request size.
//
// It also tells whether the request is whole: the header block has ended with an empty line and
// at least as many bytes as Content-Length announces have followed it.
class RequestCapture {
 public:
  void Append(std::string_view read);

  const LineList& Lines() const { return lines_; }
  LineList TakeLines() { return std::move(lines_); }

  // Bytes kept so far, line ends included as they arrived.
  std::int64_t Size() const { return size_; }
  bool HeaderComplete() const { return headerComplete_; }
  // The announced body length, once the header block is complete and announces a valid one.
  std::optional<std::int64_t> ContentLength() const { return contentLength_; }
  bool Complete() const { return headerComplete_ && bodyBytes_ >= contentLength_.value_or(0); }

 private:
  void FinishHeader();

  LineList lines_;
  std::int64_t size_ = 0;
  bool headerComplete_ = false;
  std::optional<std::int64_t> contentLength_;
  std::int64_t bodyBytes_ = 0;
};

}  // namespace proxy
