#include "proxy/ChunkedBody.h"

#include <algorithm>

namespace proxy {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::size_t ChunkedBody::Append(std::string_view bytes) {
  std::size_t at = 0;
  while (state_ == State::Reading && at < bytes.size()) {
    if (step_ == Step::Data) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size_, bytes.size() - at));
      data_.append(bytes.substr(at, n));
      at += n;
      size_ -= n;
      if (size_ == 0) step_ = Step::DataEnd;
      continue;
    }
    const char c = bytes[at++];
    if (afterCr_) {
      afterCr_ = false;
      if (c == '\n') {
        LineEnded();
      } else {
        state_ = State::Malformed;
      }
    } else if (c == '\r') {
      afterCr_ = true;
    } else if (c == '\n') {
      LineEnded();
    } else {
      Take(c);
    }
  }
  return at;
}

void ChunkedBody::LineEnded() {
  switch (step_) {
    case Step::Size:
    case Step::AfterSize:
    case Step::Extension:
      if (digits_ == 0) {
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

void ChunkedBody::Take(char c) {
  if (c == '\0') {
    state_ = State::Malformed;
    return;
  }
  if (step_ == Step::Trailer) {
    trailerLineEmpty_ = false;
    if (++trailerBytes_ > kMaxTrailerBytes) state_ = State::Malformed;
    return;
  }
  if (step_ == Step::DataEnd || ++lineBytes_ > kMaxLineBytes) {
    state_ = State::Malformed;
    return;
  }
  const bool blank = c == ' ' || c == '\t';
  switch (step_) {
    case Step::Size:
      if (const int digit = HexValue(c); digit >= 0) {
        ++digits_;
        size_ = size_ * 16 + static_cast<std::uint64_t>(digit);
        if (size_ > kMaxBytes - data_.size()) state_ = State::TooLarge;
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

}  // namespace proxy
