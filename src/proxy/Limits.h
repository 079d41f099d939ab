#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Every bound and deadline of the proxy, in one place: durations as std::chrono, sizes as byte
// counts. Pure; any thread.
namespace proxy {

inline constexpr std::int64_t kKiB = 1024;
inline constexpr std::int64_t kMiB = 1024 * kKiB;

// The deadlines and the budget a handler gives its runs. The defaults are the program's; tests
// make them shorter or smaller.
struct RunLimits {
  // A header block not complete this long after the client connected is answered 408; a client
  // that has sent nothing by then is closed without a word.
  std::chrono::milliseconds HeaderDeadline = std::chrono::seconds(60);
  // How long an unfinished request (header block or announced body) may wait for its next bytes
  // before it is answered 408.
  std::chrono::milliseconds RequestStall = std::chrono::seconds(10);
  // How often runs blocked upstream are looked at for a client that has gone.
  std::chrono::milliseconds WatchPeriod = std::chrono::milliseconds(250);
  // An answer header block not complete this long after the request went upstream is answered
  // 504.
  std::chrono::milliseconds AnswerHeadDeadline = std::chrono::seconds(60);
  // Connecting may take this long in all, however many addresses the destination has, before the
  // client is answered 504.
  std::chrono::milliseconds ConnectDeadline = std::chrono::seconds(30);
  // A run whose client has finished sending (or closed) ends once nothing has moved for this
  // long: an answer that stands still, a call blocked upstream, a tunnel with one side closed.
  std::chrono::milliseconds IdleLimit = std::chrono::seconds(60);
  // What request bodies held whole (chunked ones, ones kept to ask again) may take in all; a
  // request whose body would pass it is answered 503.
  std::int64_t BodyBudgetBytes = 64 * kMiB;
};

// Pacing: a limit is in kilobytes (1000 bytes) per second.
inline constexpr std::chrono::milliseconds kPacingPeriod{1000};
// The shared line hands out its room a tenth of a period at a time.
inline constexpr std::chrono::milliseconds kSharedPacingTick{100};
// Bytes that one period may carry at a limit, in 64 bits so that no 32-bit limit overflows; 0 or
// less for a limit of 0 or less.
constexpr std::int64_t SliceSize(std::int32_t limit) {
  return static_cast<std::int64_t>(limit) * 1000;
}

// The request on its way in.
inline constexpr std::int64_t kMaxRequestHeadBytes = 64 * kKiB;    // else 431
inline constexpr std::int64_t kMaxChunkedBodyBytes = 16 * kMiB;    // decoded, else 413
inline constexpr std::int64_t kMaxChunkExtensionBytes = 1 * kMiB;  // in all, else 400
inline constexpr std::int64_t kMaxChunkTrailerBytes = 64 * kKiB;
inline constexpr std::int64_t kMaxChunkLineBytes = 4 * kKiB;
// A body of known length up to this size is kept while it is sent, to ask again in HTTP/1.1.
inline constexpr std::int64_t kMaxKeptBodyBytes = 64 * kKiB;
// The most of the client's bytes held at a time on their way upstream (a body, a tunnel's bytes).
inline constexpr std::int64_t kUpstreamBufferBytes = 256 * kKiB;
// Sends upstream go in pieces this small, so that one a wait found room for does not block.
inline constexpr std::int64_t kSendPieceBytes = 16 * kKiB;

// The answer on its way out.
inline constexpr std::int64_t kMaxAnswerHeadBytes = 64 * kKiB;  // else 502
// The most of an answer read and not yet sent to the client.
inline constexpr std::int64_t kAnswerBufferBytes = 1 * kMiB;
// A coded body is read through a piece this large, so memory follows what is decoded.
inline constexpr std::int64_t kDecodePieceBytes = 16 * kKiB;
// While an answer's header block is awaited, a gone client or a stop is looked for this often,
// whatever the origin sends meanwhile.
inline constexpr std::chrono::milliseconds kHeadLookPeriod{250};

// Connecting: the next address is tried beside one that has not answered for this long; at most
// this many attempts are under way at once (each takes a thread and a socket); the race looks
// at its attempts and at giving up this often.
inline constexpr std::chrono::milliseconds kConnectStagger{250};
inline constexpr std::size_t kMaxConnectAttempts = 4;
inline constexpr std::chrono::milliseconds kConnectRaceLook{50};
// Origins remembered to refuse HTTP/1.0, the oldest forgotten first.
inline constexpr std::size_t kMaxRememberedOrigins = 1024;

// What a client sends that is not forwarded is read and dropped, so that closing does not reset
// an answer away: after a refusal, until it pauses this long or this much is gone; after a body
// an early answer left unsent, until it falls silent this long or this much is gone; and while
// looking whether it has gone, this much at a time.
inline constexpr std::chrono::milliseconds kRefusalDrainQuiet{1};
inline constexpr std::int64_t kMaxRefusalDrainBytes = 1 * kMiB;
inline constexpr std::chrono::milliseconds kBodyDrainQuiet{1000};
inline constexpr std::int64_t kMaxBodyDrainBytes = 16 * kMiB;
inline constexpr std::int64_t kMaxGoneCheckBytes = 64 * kKiB;
// A send that finds no room waits this long at a time, looking for an answer in between.
inline constexpr std::chrono::milliseconds kSendRoomWait{1000};

// Until when a wait may last. Never() is no deadline at all.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  constexpr Deadline() = default;
  constexpr explicit Deadline(Clock::time_point at) : at_(at) {}
  static Deadline In(Clock::duration from) { return Deadline(Clock::now() + from); }
  static constexpr Deadline Never() { return Deadline(); }

  Clock::time_point At() const { return at_; }
  bool Passed() const { return Clock::now() >= at_; }
  // What is left of it, rounded up to whole milliseconds, and nothing once it has passed. Not
  // for Never().
  std::chrono::milliseconds Left() const {
    const Clock::time_point now = Clock::now();
    return now >= at_ ? std::chrono::milliseconds(0)
                      : std::chrono::ceil<std::chrono::milliseconds>(at_ - now);
  }

  // Earlier first, as std::min takes them.
  friend bool operator<(const Deadline& a, const Deadline& b) { return a.at_ < b.at_; }

 private:
  Clock::time_point at_ = Clock::time_point::max();
};

}  // namespace proxy
