// The connection's line reader over bytes that arrive in receives of any size, with read
// time-outs in between. Whatever the receives, it must give the lines a reader of the whole
// stream at once would give, and keep every byte it has received but not handed out.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "net/IdTCPConnection.h"

namespace {

// Serves the stream from memory: each wait and receive follows the next byte of the schedule
// (0 is a wait that times out, anything else the most a receive gives), then the stream's end.
class MemoryIOHandler : public TIdIOHandler {
 public:
  MemoryIOHandler(std::string_view stream, std::string schedule)
      : stream_(stream), schedule_(std::move(schedule)) {}

  std::size_t Served() const { return served_; }

  void Close() override { open_ = false; }
  bool IsConnected() override { return open_; }
  bool WaitReadable(std::int32_t) override {
    if (next_ < schedule_.size() && schedule_[next_] == 0) {
      ++next_;
      return false;
    }
    return open_;
  }
  std::int32_t Receive(void* buffer, std::int32_t length) override {
    std::size_t most = 64;
    if (next_ < schedule_.size()) most = static_cast<unsigned char>(schedule_[next_++]);
    const std::size_t count =
        std::min({most, static_cast<std::size_t>(length), stream_.size() - served_});
    std::memcpy(buffer, stream_.data() + served_, count);
    served_ += count;
    return static_cast<std::int32_t>(count);
  }
  std::int32_t Send(const void*, std::int32_t length) override { return length; }

 private:
  std::string_view stream_;
  std::string schedule_;
  std::size_t next_ = 0;
  std::size_t served_ = 0;
  bool open_ = true;
};

enum class Outcome { Line, TooLong, Closed };

struct Result {
  Outcome outcome = Outcome::Line;
  std::string line{};
  bool split = false;
  bool cutShort = false;
  bool operator==(const Result&) const = default;
};

// The same reader over the whole stream at once.
class WholeStreamReader {
 public:
  WholeStreamReader(std::string_view stream, std::string_view terminator, std::size_t maxLength,
                    bool split)
      : stream_(stream),
        terminator_(terminator.empty() ? "\n" : terminator),
        lf_(terminator_ == "\n"),
        maxLength_(maxLength),
        split_(split) {}

  std::size_t Position() const { return position_; }

  Result Next() {
    const std::string_view rest = stream_.substr(position_);
    const std::size_t found = rest.find(terminator_);
    std::size_t length = found == std::string_view::npos ? rest.size() : found;
    // A CR before the LF is not part of the line, nor is the start of a terminator at the end.
    if (found != std::string_view::npos) {
      if (lf_ && length > 0 && rest[length - 1] == '\r') --length;
    } else {
      length -= PendingEnd(rest);
    }
    if (maxLength_ != 0 && length > maxLength_) {
      if (!split_) return {Outcome::TooLong};
      position_ += maxLength_;
      return {Outcome::Line, std::string(rest.substr(0, maxLength_)), true};
    }
    if (found == std::string_view::npos) {
      if (rest.empty() || cutShort_) return {Outcome::Closed};
      cutShort_ = true;
      return {Outcome::Line, "", false, true};
    }
    position_ += found + terminator_.size();
    return {Outcome::Line, std::string(rest.substr(0, length))};
  }

 private:
  std::size_t PendingEnd(std::string_view rest) const {
    if (lf_) return !rest.empty() && rest.back() == '\r' ? 1 : 0;
    for (std::size_t k = std::min(terminator_.size() - 1, rest.size()); k > 0; --k)
      if (rest.ends_with(terminator_.substr(0, k))) return k;
    return 0;
  }

  std::string_view stream_;
  std::string terminator_;
  bool lf_;
  std::size_t maxLength_;
  bool split_;
  std::size_t position_ = 0;
  bool cutShort_ = false;
};

std::string TerminatorFrom(FuzzInput& input) {
  switch (input.Byte() % 4) {
    case 0:
      return "";
    case 1:
      return "\n";
    case 2:
      return "\r\n";
    default:
      return input.Piece(4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Components share the socket stack; one that stays keeps it from being made for every input.
  static TIdComponent* const stackUser = new TIdComponent();
  (void)stackUser;

  FuzzInput input(data, size);
  const std::string terminator = TerminatorFrom(input);
  const std::size_t maxLength = input.Byte();
  const bool lengthAsProperty = input.Bool();
  const bool split = input.Bool();
  const std::int64_t compactThreshold = input.Byte() + 1;
  const std::int32_t recvBufferSize = input.Byte() + 1;
  std::string schedule = input.Piece(32);
  const std::string_view stream = input.Rest();

  MemoryIOHandler handler(stream, std::move(schedule));
  TIdTCPConnection conn;
  conn.SetIOHandler(&handler);
  conn.SetMaxLineAction(split ? maSplit : maException);
  conn.SetRecvBufferSize(recvBufferSize);
  conn.ReceivedData()->SetCompactThreshold(compactThreshold);
  if (lengthAsProperty) conn.SetMaxLineLength(static_cast<std::int32_t>(maxLength));
  const std::int32_t maxArgument = lengthAsProperty ? -1 : static_cast<std::int32_t>(maxLength);

  WholeStreamReader whole(stream, terminator, maxLength, split);
  for (std::size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= stream.size() + 64);
    Result got;
    try {
      got.line = conn.ReadLine(terminator, -1, maxArgument);
      got.split = conn.LineWasSplit();
      got.cutShort = conn.LineCutShort();
    } catch (const EIdReadTimeout&) {
      // Nothing may be lost by a wait that ran out: the next call goes on where it stopped.
      FUZZ_CHECK(conn.ReceivedData()->ToString() ==
                 stream.substr(whole.Position(), handler.Served() - whole.Position()));
      continue;
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
      got.outcome = Outcome::TooLong;
    } catch (const EIdConnClosedGracefully&) {
      got.outcome = Outcome::Closed;
    }
    const Result expected = whole.Next();
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(conn.ReceivedData()->ToString() ==
               stream.substr(whole.Position(), handler.Served() - whole.Position()));
    if (got.outcome != Outcome::Line) break;
  }
  return 0;
}
