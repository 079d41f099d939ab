#include "proxy/PacedRelay.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "net/IdTCPConnection.h"
#include "proxy/Readiness.h"
#include "proxy/StringCuts.h"
#include "rtl/Time.h"

namespace proxy {

PacedRelay::PacedRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
                       ProxyCounters& counters, Pacing pacing, std::function<bool()> giveUp)
    : client_(client),
      upstream_(upstream),
      view_(view),
      counters_(counters),
      giveUp_(std::move(giveUp)),
      pacing_(std::move(pacing)) {}

PacedRelay::Outcome PacedRelay::Run(std::optional<std::int64_t> length, const ReadObserver& onRead,
                                    ReadFilter* filter) {
  left_ = length;
  filter_ = filter;
  for (;;) {
    if (left_ && *left_ <= 0) return Outcome::Relayed;
    // A spent period is waited out before the origin is asked for more: nothing could be sent
    // meanwhile anyway, and it saves a wait per period.
    if (pacing_.Spent()) {
      if (!AwaitNextPeriod()) return Outcome::GaveUp;
      continue;
    }
    if (held_.Empty()) {
      if (const std::optional<Outcome> ended = Ended()) return *ended;
      held_.Release();
      if (!AwaitUpstream()) return Outcome::GaveUp;
    }
    // A period begins with the first bytes to send after the last one ended, so an origin that
    // was silent for a while earns no allowance for the time it said nothing.
    if (pacing_.Room(1) <= 0) {
      if (!AwaitNextPeriod()) return Outcome::GaveUp;
      continue;
    }
    const std::int64_t sent = SendSlice(onRead);
    if (sent < 0) return Outcome::GaveUp;
    if (sent > 0) ShowStatus();
    if (!client_.IsConnected()) return Outcome::GaveUp;
  }
}

// Waits for the origin server's next data or close, but gives up when the client has gone or
// the thread is told to end, so a silent server cannot hold a run after its client left; nor can
// one that keeps sending bytes that never reach the client.
bool PacedRelay::AwaitUpstream() {
  for (;;) {
    if (LookedAtAndGivingUp()) return false;
    if (WaitReadable(upstream_.Socket(), nextLook_.Left()) != Readiness::TimedOut) return true;
  }
}

bool PacedRelay::LookedAtAndGivingUp() {
  if (!nextLook_.Passed()) return false;
  nextLook_ = Deadline::In(kPacingPeriod);
  return GivingUp();
}

bool PacedRelay::GivingUp() const {
  if (giveUp_()) return true;
  if (!idleLimit_) return false;
  const Clock::time_point moved = otherMoved_ ? std::max(lastMoved_, otherMoved_()) : lastMoved_;
  return Clock::now() - moved >= *idleLimit_ && PeekPeer(client_.Socket()) == PeerState::HalfClosed;
}

std::optional<PacedRelay::Outcome> PacedRelay::Ended() const {
  if (filter_ && filter_->Ended()) return Outcome::Relayed;
  if (filter_ && filter_->Failed()) return Outcome::CutShort;
  if (upstreamClosed_) return left_ || filter_ ? Outcome::CutShort : Outcome::Relayed;
  return std::nullopt;
}

bool PacedRelay::SendFront(std::size_t count) {
  if (count > 0 && !Offer()) return false;
  while (count > 0) {
    const auto n = static_cast<std::size_t>(pacing_.Room(static_cast<std::int64_t>(count)));
    if (n == 0) {
      if (!AwaitNextPeriod()) return false;
      continue;
    }
    WriteFront(n);
    count -= n;
    ShowStatus();
  }
  return client_.IsConnected();
}

void PacedRelay::ReadReady(std::int64_t wanted) {
  std::int64_t got = 0;
  while (got < wanted && !upstreamClosed_) {
    std::span<char> space = held_.Space(
        static_cast<std::size_t>(std::min<std::int64_t>(wanted - got, kAnswerBufferBytes)));
    if (space.empty()) return;
    const auto asked = static_cast<std::int32_t>(
        std::min<std::size_t>(space.size(), std::numeric_limits<std::int32_t>::max()));
    const std::int32_t n = upstream_.ReadAvailableInto(space.data(), asked);
    if (n <= 0) {
      upstreamClosed_ = true;
      return;
    }
    held_.Commit(static_cast<std::size_t>(n));
    lastMoved_ = Clock::now();
    got += n;
    // A receive that did not fill its room took all there was; otherwise ask whether more is.
    if (got >= wanted || n < asked || !ReadableNow(upstream_.Socket())) return;
  }
}

void PacedRelay::ReadFiltered(std::int64_t wanted) {
  // Reads go through a piece of fixed size, so memory follows what comes out of the filter.
  constexpr auto kPiece = static_cast<std::int32_t>(kDecodePieceBytes);
  auto piece = std::make_unique_for_overwrite<char[]>(kPiece);
  // A piece may bring out more than was wanted, but never past what the buffer holds.
  wanted = std::min(wanted, kAnswerBufferBytes - static_cast<std::int64_t>(held_.Size()) - kPiece);
  std::string out;
  while (static_cast<std::int64_t>(out.size()) < wanted && !upstreamClosed_ && !filter_->Ended() &&
         !filter_->Failed()) {
    const std::int32_t n = upstream_.ReadAvailableInto(piece.get(), kPiece);
    if (n <= 0) {
      upstreamClosed_ = true;
      break;
    }
    const std::size_t before = out.size();
    filter_->Take({piece.get(), static_cast<std::size_t>(n)}, out);
    if (out.size() > before) lastMoved_ = Clock::now();
    if (n < kPiece || !ReadableNow(upstream_.Socket())) break;
  }
  for (std::string_view rest = out; !rest.empty();) {
    const std::span<char> space = held_.Space(rest.size());
    if (space.empty()) break;  // never: the buffer has room for what was read
    std::copy_n(rest.data(), space.size(), space.data());
    held_.Commit(space.size());
    rest.remove_prefix(space.size());
  }
}

bool PacedRelay::AwaitNextPeriod() {
  // A paused relay shows that it is still there, once a period.
  const bool paused = pacing_.Limit() <= 0;
  if (paused) ShowStatus();
  pacing_.AwaitNextPeriod();
  // A positive limit finds a vanished client at its next write; a paused relay has none to make.
  return !(paused && GivingUp());
}

bool PacedRelay::Offer() {
  if (clientOffered_) return true;
  if (firstByteAt_ && !firstByteAt_->Passed()) {
    if (!pacing_.DelayUntil(*firstByteAt_, giveUp_)) return false;
    // The delay was the origin's time, not an idle client's, and earns no allowance.
    lastMoved_ = Clock::now();
    pacing_.Restart();
  }
  clientOffered_ = true;
  return true;
}

std::int64_t PacedRelay::Room() const {
  return left_ ? std::min(pacing_.Left(), *left_) : pacing_.Left();
}

std::int64_t PacedRelay::SendSlice(const ReadObserver& onRead) {
  std::int64_t sent = 0;
  while (Room() > 0) {
    if (held_.Empty()) {
      // The first read follows the wait that found the origin readable; later ones only take
      // what is there already.
      if (upstreamClosed_ || (sent > 0 && !ReadableNow(upstream_.Socket()))) break;
      if (filter_) {
        ReadFiltered(Room());
      } else {
        ReadReady(Room());
      }
      if (held_.Empty()) break;
      if (onRead) onRead(held_.Data());
    }
    if (!Offer()) return -1;
    const auto n = static_cast<std::int64_t>(FirstChars(held_.Data(), Room()).size());
    WriteFront(static_cast<std::size_t>(n));
    if (left_) *left_ -= n;
    sent += n;
  }
  return sent;
}

void PacedRelay::WriteFront(std::size_t count) {
  // Never above 2^31 bytes: held bytes stay within kAnswerBufferBytes.
  client_.WriteBytes(held_.Data().data(), static_cast<std::int32_t>(count));
  counters_.BytesToClients.fetch_add(count, std::memory_order_relaxed);
  lastMoved_ = Clock::now();
  held_.Consume(count);
  pacing_.Spend(static_cast<std::int64_t>(count));
}

void PacedRelay::ShowStatus() {
  // Once a slice for every run, so without the general formatter.
  view_.SetStatusCaption("Speed limit in action " + std::to_string(rtl::GetTickCount()));
}

}  // namespace proxy
