#include "proxy/RequestCapture.h"

#include <limits>

namespace proxy {
namespace {

constexpr std::string_view kLineEndOrNul("\r\n\0", 3);
constexpr std::string_view kContentLength = "content-length:";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Whether the line is a "Content-Length:" header line.
bool IsContentLengthLine(std::string_view line) {
  return StartsWithNoCase(line, kContentLength);
}

// The value of a "Content-Length:" header line: digits only after trimming, or nothing. A number
// too large for 64 bits is taken as the largest there is.
std::optional<std::int64_t> ContentLengthOf(std::string_view line) {
  std::string value = Trim(line.substr(kContentLength.size()));
  if (value.empty()) return std::nullopt;
  std::int64_t length = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  for (char c : value) {
    if (length > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
      return std::numeric_limits<std::int64_t>::max();
    length = length * 10 + (c - '0');
  }
  return length;
}

}  // namespace

std::size_t RequestCapture::Append(std::string_view bytes) {
  std::size_t at = 0;
  if (afterCr_ && !bytes.empty()) {
    afterCr_ = false;
    if (bytes[0] == '\n') at = 1;
  }
  if (state_ == State::Cut) at = bytes.size();
  while (state_ == State::Header && at < bytes.size()) {
    const std::size_t end = bytes.find_first_of(kLineEndOrNul, at);
    if (end == std::string_view::npos) {
      open_.append(bytes.substr(at));
      at = bytes.size();
      break;
    }
    open_.append(bytes.substr(at, end - at));
    at = end + 1;
    if (bytes[end] == '\0') {
      // As in SplitLines, a NUL at the start of a line ends the text without adding a line.
      if (!open_.empty()) EndLine();
      state_ = State::Cut;
      at = bytes.size();
      break;
    }
    if (bytes[end] == '\r') {
      if (at == bytes.size()) {
        afterCr_ = true;
      } else if (bytes[at] == '\n') {
        ++at;
      }
    }
    const bool empty = open_.empty();
    EndLine();
    if (empty) {
      state_ = State::Complete;
      for (const std::string& line : lines_) {
        if (!IsContentLengthLine(line)) continue;
        contentLength_ = ContentLengthOf(line);
        contentLengthMalformed_ = !contentLength_;
        break;
      }
    }
  }
  size_ += static_cast<std::int64_t>(at);
  return at;
}

void RequestCapture::Finish() {
  if (state_ == State::Header && !open_.empty()) EndLine();
}

void RequestCapture::EndLine() {
  lines_.push_back(std::move(open_));
  open_.clear();
}

}  // namespace proxy
