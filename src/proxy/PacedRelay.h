#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "proxy/Limits.h"
#include "proxy/Pacing.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/RelayBuffer.h"

class TIdTCPConnection;

namespace proxy {

// What a relay makes of the bytes it reads before they go out, for a body that comes in a coding
// the client is not to get.
class ReadFilter {
 public:
  virtual ~ReadFilter() = default;
  // Takes bytes as read and appends what is to go out to out.
  virtual void Take(std::string_view read, std::string& out) = 0;
  // All that is to go out has come; nothing read after it is relayed.
  virtual bool Ended() const = 0;
  // The bytes read are no longer fit to relay; the client is to see the body cut short.
  virtual bool Failed() const = 0;
};

// Relays what an origin server sends to the client of one run, paced by the pacing it is given:
// whatever the origin has ready goes out at once while the pacing has room for it; the run pauses
// only when the period's allowance is used up, and only until the period ends. Every slice sent
// (the bytes sent in one go before the run waits again) sets the status caption. A limit of 0 or
// below pauses the relay, one period after another, until it is raised or the run gives up. The
// bytes go out as they came: what they mean is the caller's business.
//
// Memory follows the data: the relay holds only what it has read and not yet sent, in a buffer
// that grows with what the origin has ready (up to kAnswerBufferBytes) and is freed while the run
// waits for the origin.
class PacedRelay {
 public:
  using ReadObserver = std::function<void(std::string_view bytes)>;

  // Relayed: the origin closed and all it sent is out, or the given length is. GaveUp: the client
  // has gone or the run was told to end. CutShort: the origin closed before the given length.
  enum class Outcome { Relayed, GaveUp, CutShort };

  // pacing: the run's for what goes to the client (AtZero::Pauses). giveUp tells a run waiting on
  // a silent origin, or paused by a limit of 0 or below, that it should end: its client has gone
  // or its thread is told to stop.
  PacedRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
             ProxyCounters& counters, Pacing pacing, std::function<bool()> giveUp);

  // Relays what is held and what the origin sends after it until the origin has closed and all
  // it sent is out, or until length bytes are (nothing after them is relayed). onRead sees every
  // read the relay makes, before it goes out. With a filter, what the origin sends goes through
  // it, and the relay ends where it ends (CutShort where it fails or the origin closes first); the
  // pacing counts what comes out of it. Errors of either connection leave as exceptions.
  Outcome Run(std::optional<std::int64_t> length = std::nullopt, const ReadObserver& onRead = {},
              ReadFilter* filter = nullptr);

  // For a caller that looks at what comes before relaying it: the bytes read and not yet sent,
  // oldest first, which it may rewrite in place.
  RelayBuffer& Held() { return held_; }
  bool UpstreamClosed() const { return upstreamClosed_; }
  // Receives what the origin has ready, at least once, until `wanted` more bytes are held.
  void ReadReady(std::int64_t wanted);
  // Sends the count oldest held bytes, paced; false when the run should end.
  bool SendFront(std::size_t count);
  // Some byte has been offered to the client: from then on it cannot be given another answer.
  bool ClientOffered() const { return clientOffered_; }
  // A client that has finished sending still waits for what it asked for, but not for ever: once
  // nothing has moved either way for this long, waiting on the origin or paused by the limit, the
  // relay gives up as if the client had gone. Only bytes that go on to the client count as
  // moving: what a filter takes and drops (a chunked body's trailer) does not. otherMoved, when
  // given, says when something last moved that the relay does not carry itself (the other
  // direction of a tunnel); it is asked on the relay's thread.
  void SetIdleLimit(std::chrono::milliseconds limit,
                    std::function<std::chrono::steady_clock::time_point()> otherMoved = {}) {
    idleLimit_ = limit;
    otherMoved_ = std::move(otherMoved);
  }
  // The first byte to the client waits until then, as if the origin were that slow.
  void DelayFirstByteUntil(Deadline until) { firstByteAt_ = until; }

 private:
  using Clock = std::chrono::steady_clock;

  // False when the run should end without waiting further.
  bool AwaitUpstream();
  // ReadReady through the filter: reads until `wanted` bytes have come out of it.
  void ReadFiltered(std::int64_t wanted);
  // Why a relay with nothing held ends, if it does.
  std::optional<Outcome> Ended() const;
  // The run should end: giveUp says so, or a client that finished sending has waited out the
  // idle limit.
  bool GivingUp() const;
  // GivingUp, asked at most once a period, however often the origin sends.
  bool LookedAtAndGivingUp();
  // Before the first byte goes to the client; false when the run gives up meanwhile.
  bool Offer();
  // Pauses until the current period ends and starts the next; false when the run gives up.
  bool AwaitNextPeriod();
  // Sends held and ready bytes while the period allows; the count sent.
  std::int64_t SendSlice(const ReadObserver& onRead);
  // Writes the count oldest held bytes to the client, as the pacing allowed.
  void WriteFront(std::size_t count);
  // What the period may still send, within what is left of a given length.
  std::int64_t Room() const;
  void ShowStatus();

  TIdTCPConnection& client_;
  TIdTCPConnection& upstream_;
  ProxyView& view_;
  ProxyCounters& counters_;
  const std::function<bool()> giveUp_;
  RelayBuffer held_{kAnswerBufferBytes};
  bool upstreamClosed_ = false;
  bool clientOffered_ = false;
  std::optional<Clock::duration> idleLimit_;
  std::function<Clock::time_point()> otherMoved_;
  Clock::time_point lastMoved_ = Clock::now();  // the last byte read or sent that meant something
  Deadline nextLook_{lastMoved_ + kPacingPeriod};
  // Bytes still to go when Run was given a length.
  std::optional<std::int64_t> left_;
  ReadFilter* filter_ = nullptr;
  Pacing pacing_;
  std::optional<Deadline> firstByteAt_;
};

}  // namespace proxy
