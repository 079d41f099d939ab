#include "proxy/http/ChunkedCoding.h"

#include <algorithm>

namespace proxy::http {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t HexDigits(std::uint64_t value) {
  std::size_t digits = 1;
  for (; value >= 16; value >>= 4)
    ++digits;
  return digits;
}

}  // namespace

std::size_t ChunkedDecoder::Append(std::string_view bytes, std::string& out) {
  std::size_t at = 0;
  while (state_ == State::Reading && at < bytes.size()) {
    if (step_ == Step::Data) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size_, bytes.size() - at));
      out.append(bytes.substr(at, n));
      at += n;
      size_ -= n;
      decoded_ += n;
      if (size_ == 0) step_ = Step::DataEnd;
      continue;
    }
    const char c = bytes[at++];
    switch (lineEnds_.Take(c)) {
      case LineEnds::Byte::Text:
        Take(c);
        break;
      case LineEnds::Byte::End:
        LineEnded();
        break;
      case LineEnds::Byte::Malformed:
      case LineEnds::Byte::EndBefore:  // never: size lines end strictly
        state_ = State::Malformed;
        break;
      case LineEnds::Byte::Pending:
        break;
    }
  }
  return at;
}

void ChunkedDecoder::LineEnded() {
  switch (step_) {
    case Step::Size:
    case Step::AfterSize:
    case Step::Extension:
      if (digits_ == 0) {
        state_ = State::Malformed;
        return;
      }
      // Leading zeros pad a size line as an extension does, and count with them.
      extensionBytes_ += lineBytes_ - HexDigits(size_);
      if (extensionBytes_ > kMaxExtensionBytes) {
        state_ = State::Malformed;
        return;
      }
      step_ = size_ == 0 ? Step::Trailer : Step::Data;
      digits_ = 0;
      lineBytes_ = 0;
      return;
    case Step::DataEnd:
      step_ = Step::Size;
      return;
    case Step::Trailer:
      if (trailerLineEmpty_) state_ = State::Done;
      trailerLineEmpty_ = true;
      return;
    case Step::Data:
      return;  // never: data bytes are taken in bulk
  }
}

void ChunkedDecoder::Take(char c) {
  if (step_ == Step::Trailer) {
    trailerLineEmpty_ = false;
    if (++trailerBytes_ > kMaxTrailerBytes) state_ = State::Malformed;
    return;
  }
  if (step_ == Step::DataEnd || ++lineBytes_ > kMaxLineBytes) {
    state_ = State::Malformed;
    return;
  }
  const bool blank = IsBlank(c);
  switch (step_) {
    case Step::Size:
      if (const int digit = HexValue(c); digit >= 0) {
        ++digits_;
        if (size_ > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
          state_ = State::Malformed;
          return;
        }
        size_ = size_ * 16 + static_cast<std::uint64_t>(digit);
        if (size_ > maxBytes_ - decoded_) state_ = State::TooLarge;
      } else if (digits_ > 0 && (blank || c == ';')) {
        step_ = blank ? Step::AfterSize : Step::Extension;
      } else {
        state_ = State::Malformed;
      }
      return;
    case Step::AfterSize:
      if (c == ';') {
        step_ = Step::Extension;
      } else if (!blank) {
        state_ = State::Malformed;
      }
      return;
    default:
      return;  // the extension: read and dropped
  }
}

}  // namespace proxy::http
