#include "proxy/RequestCapture.h"

namespace proxy {

std::size_t RequestCapture::Append(std::string_view bytes) {
  constexpr std::string_view kSpecial("\r\n\0", 3);
  std::size_t at = 0;
  while (state_ == State::Header && at < bytes.size()) {
    if (afterCr_) {
      afterCr_ = false;
      if (bytes[at] != '\n') {
        state_ = State::Malformed;
        break;
      }
      ++at;
      EndLine();
      continue;
    }
    const std::size_t end = bytes.find_first_of(kSpecial, at);
    open_.append(bytes.substr(at, end - at));
    if (end == std::string_view::npos) {
      at = bytes.size();
      break;
    }
    at = end + 1;
    if (bytes[end] == '\0') {
      state_ = State::Malformed;
    } else if (bytes[end] == '\r') {
      afterCr_ = true;
    } else {
      EndLine();
    }
  }
  size_ += static_cast<std::int64_t>(at);
  return at;
}

void RequestCapture::EndLine() {
  if (open_.empty() && lines_.empty()) return;  // a blank line before the request line
  if (open_.empty()) state_ = State::Complete;
  lines_.push_back(std::move(open_));
  open_.clear();
}

}  // namespace proxy
