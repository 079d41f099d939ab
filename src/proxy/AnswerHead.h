#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace proxy {

// Finds where an answer's header block - the status line and the header lines, up to and
// including the empty line that ends them - ends, in bytes that arrive in pieces. Only that block
// is rewritten (RewriteAnswerHead); every byte after it is the body and goes out as it came.
//
// Lines end at CR LF, a lone CR or a lone LF, as RewriteAnswerHead takes them. Until the block's
// end is known the caller holds the answer unsent, so a field split between two reads is still
// found when the block is rewritten as a whole.
class AnswerHead {
 public:
  // A block not ended within this many bytes is no answer we relay.
  static constexpr std::size_t kMaxBytes = 65536;

  // held is the answer from its first byte on, as much of it as has come; each call sees at
  // least what the call before it saw. Gives the length of the header block once it is known:
  // through its empty line, or everything held when the origin has closed first. Nothing while
  // the block may still go on, or once it has gone past kMaxBytes (TooLong).
  std::optional<std::size_t> Find(std::string_view held, bool closed);
  bool TooLong() const { return tooLong_; }

 private:
  std::size_t scanned_ = 0;
  bool lineStart_ = true;
  bool afterCr_ = false;
  bool tooLong_ = false;
};

}  // namespace proxy
