#include "proxy/AnswerHead.h"

#include <algorithm>

namespace proxy {

std::optional<std::size_t> AnswerHead::Find(std::string_view held, bool closed) {
  const std::size_t limit = std::min(held.size(), kMaxBytes);
  for (; scanned_ < limit; ++scanned_) {
    const char c = held[scanned_];
    if (afterCr_) {
      afterCr_ = false;
      if (c == '\n') continue;  // the LF of a CR LF: still at the start of a line
    }
    if (c != '\r' && c != '\n') {
      lineStart_ = false;
      continue;
    }
    if (lineStart_) {
      // The empty line. Its LF, when it follows a CR that ends what has come so far, goes out
      // with the body instead; no rule touches an LF, so the bytes sent are the same.
      std::size_t end = scanned_ + 1;
      if (c == '\r' && end < held.size() && held[end] == '\n') ++end;
      return end;
    }
    lineStart_ = true;
    afterCr_ = c == '\r';
  }
  if (held.size() >= kMaxBytes) {
    tooLong_ = true;
    return std::nullopt;
  }
  if (closed) return held.size();
  return std::nullopt;
}

}  // namespace proxy
