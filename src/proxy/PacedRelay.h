#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "proxy/AnswerHead.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/RelayBuffer.h"

class TIdTCPConnection;

namespace proxy {

// Relays what an origin server sends to the client of one run, paced by the second: in every
// one-second period the client is sent at most SpeedLimit x 1000 bytes, the limit read once at
// the start of the period. Whatever the origin has ready goes out at once while the period allows
// it; the run pauses only when the period's allowance is used up, and only until the period ends.
// Every slice sent (the bytes sent in one go before the run waits again) sets the status caption.
// A limit of 0 or below holds the relay, one period after another, until it is raised or the run
// gives up.
//
// An answer's header block is held until it is complete and rewritten as a whole; so is each
// interim (1xx) block before it, which goes out (paced) as soon as it is complete. The body goes
// out byte for byte, and a chunk read that holds CR LF is shown in the download pane. A tunnel
// passes every byte as it came and shows none.
//
// Memory follows the data: the relay holds only what it has read and not yet sent, in a buffer
// that grows with what the origin has ready (up to kMaxHeldBytes) and is freed while the run
// waits for the origin.
class PacedRelay {
 public:
  using PauseFunction = std::function<void(std::int32_t milliseconds)>;

  enum class Content { Answer, Tunnel };
  // Whether the answer came and was relayed (or the run gave up), or why nothing of it could go
  // to the client: its header block did not end within AnswerHead::kMaxBytes or by the head
  // deadline, or the origin closed without a byte. The caller tells the client so. Truncated: the
  // origin closed before the end of the body its header block announced; the caller lets the
  // client see that the answer was cut short.
  enum class Outcome { Relayed, HeadTooLarge, NoAnswer, HeadTimedOut, Truncated };

  static constexpr std::size_t kMaxHeldBytes = std::size_t{1024} * 1024;
  static constexpr std::int32_t kPeriodMs = 1000;
  // While an answer's header block is awaited, a gone client or a stop is looked for this often,
  // whatever the origin sends meanwhile.
  static constexpr std::int32_t kHeadLookMs = 250;
  static constexpr std::int32_t kHeadDeadlineMs = 60000;

  // giveUp tells a run waiting on a silent origin, or held by a limit of 0 or below, that it
  // should end: its client has gone or its thread is told to stop. pause sleeps (tests may pass
  // one that only records); after it returns, the next period begins.
  PacedRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
             ProxyCounters& counters, PauseFunction pause, std::function<bool()> giveUp,
             Content content);

  // Relays until the origin has closed and all it sent is out (or, for an answer whose length is
  // known, until its last byte is out), the client goes, or the run gives up. Errors of either
  // connection leave as exceptions.
  Outcome Run();
  // How long after Run begins the answer's header block (interim ones included) must be complete.
  void SetHeadDeadline(std::int32_t milliseconds) { headDeadlineMs_ = milliseconds; }
  // The answer is to a HEAD request: no body follows its header block, whatever length it names.
  void SetHeadRequest(bool value) { headRequest_ = value; }
  // Some byte has been offered to the client: from then on it cannot be given another answer.
  bool ClientOffered() const { return clientOffered_; }

 private:
  using Clock = std::chrono::steady_clock;

  // False when the run should end without waiting further.
  bool AwaitUpstream();
  enum class Head { Final, Ended, TooLarge, TimedOut };
  // Holds the answer until its final header block is complete and rewrites it, sending the
  // interim blocks before it.
  Head TakeHead();
  // Waits for more of a header block; nothing when bytes (or the close) have come.
  std::optional<Head> AwaitHead(Clock::time_point deadline);
  // Sends the count oldest held bytes, paced; false when the run should end.
  bool SendFront(std::size_t count);
  // Receives what the origin has ready, at least once, until `wanted` more bytes are held.
  void ReadReady(std::int64_t wanted);
  void StartPeriod(Clock::time_point start);
  // Pauses until the current period ends and starts the next; false when the run gives up.
  bool AwaitNextPeriod();
  // Sends held and ready bytes while the period allows; the count sent.
  std::int64_t SendSlice();
  // What the period may still send, within what is left of an answer of known length.
  std::int64_t Room() const;
  void ShowStatus();

  TIdTCPConnection& client_;
  TIdTCPConnection& upstream_;
  ProxyView& view_;
  ProxyCounters& counters_;
  const PauseFunction pause_;
  const std::function<bool()> giveUp_;
  const Content content_;
  RelayBuffer held_{kMaxHeldBytes};
  bool upstreamClosed_ = false;
  bool clientOffered_ = false;
  std::int32_t headDeadlineMs_ = kHeadDeadlineMs;
  bool headRequest_ = false;
  // Bytes of the answer (header block and body) still to go, when its body length is known;
  // nothing after them is relayed.
  std::optional<std::int64_t> answerLeft_;
  Clock::time_point nextHeadLook_;
  bool periodOpen_ = false;
  Clock::time_point periodEnd_;
  std::int32_t limit_ = 0;
  std::int64_t allowance_ = 0;  // bytes the current period may still send
};

}  // namespace proxy
