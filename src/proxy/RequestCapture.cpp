#include "proxy/RequestCapture.h"

#include <algorithm>
#include <limits>

namespace proxy {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The value of a "Content-Length:" header line: digits only after trimming, or nothing.
std::optional<std::int64_t> ContentLengthOf(std::string_view line) {
  constexpr std::string_view kName = "content-length:";
  if (!StartsWithNoCase(line, kName)) return std::nullopt;
  std::string value = Trim(line.substr(kName.size()));
  if (value.empty()) return std::nullopt;
  std::int64_t length = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    if (length > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
      return std::numeric_limits<std::int64_t>::max();
    length = length * 10 + (c - '0');
  }
  return length;
}

}  // namespace

void RequestCapture::Append(std::string_view read) {
  read = read.substr(0, std::min(read.find('\0'), read.size()));
  size_ += static_cast<std::int64_t>(read.size());
  std::size_t pos = 0;
  // Until the header block has ended, look at each line for the empty one that ends it.
  while (!headerComplete_ && pos < read.size()) {
    std::size_t end = std::min(read.find_first_of("\r\n", pos), read.size());
    lines_.emplace_back(read.substr(pos, end - pos));
    bool empty = end == pos;
    pos = end;
    if (pos < read.size() && read[pos] == '\r') ++pos;
    if (pos < read.size() && read[pos] == '\n') ++pos;
    if (empty) FinishHeader();
  }
  if (!headerComplete_) return;
  std::string_view body = read.substr(pos);
  bodyBytes_ += static_cast<std::int64_t>(body.size());
  for (auto& line : SplitLines(body))
    lines_.push_back(std::move(line));
}

void RequestCapture::FinishHeader() {
  headerComplete_ = true;
  for (const auto& line : lines_) {
    if (auto length = ContentLengthOf(line)) {
      contentLength_ = length;
      break;
    }
  }
}

}  // namespace proxy
