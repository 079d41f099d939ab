#include "proxy/PacedRelay.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "net/IdTCPConnection.h"
#include "proxy/MessageRewriting.h"
#include "proxy/Readiness.h"
#include "rtl/Format.h"
#include "rtl/Time.h"

namespace proxy {

PacedRelay::PacedRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
                       ProxyCounters& counters, const PauseFunction& pause,
                       const std::function<bool()>& terminated)
    : client_(client),
      upstream_(upstream),
      view_(view),
      counters_(counters),
      pause_(pause),
      terminated_(terminated) {}

void PacedRelay::Run() {
  do {
    if (!AwaitUpstream() || !Pass()) return;
  } while (client_.IsConnected() && upstream_.IsConnected() && !terminated_());
}

// Waits for the origin server's next data or close, but gives up when the client has gone or
// the thread is told to end, so a silent server cannot hold a run after its browser left.
bool PacedRelay::AwaitUpstream() {
  while (WaitReadable(SocketOf(upstream_), kSlicePauseMs) == -2) {
    if (ClientGone(client_) || terminated_()) return false;
  }
  return true;
}

bool PacedRelay::Pass() {
  const std::int64_t slice = SliceSize(counters_.SpeedLimit.load());
  ReadReady(slice > kReceiveBytes ? slice : kReceiveBytes);
  if (!TakeHead()) return true;  // nothing can go before the header block is whole
  if (held_.Empty()) return true;
  ShowHeld();
  return SendPaced();
}

void PacedRelay::ReadReady(std::int64_t wanted) {
  std::int64_t got = 0;
  while (got < wanted && !upstreamClosed_) {
    std::span<char> space =
        held_.Space(static_cast<std::size_t>(std::min<std::int64_t>(wanted - got, kMaxHeldBytes)));
    if (space.empty()) return;
    const auto asked = static_cast<std::int32_t>(
        std::min<std::size_t>(space.size(), std::numeric_limits<std::int32_t>::max()));
    const std::int32_t n = upstream_.ReadAvailableInto(space.data(), asked);
    if (n <= 0) {
      upstreamClosed_ = true;
      return;
    }
    held_.Commit(static_cast<std::size_t>(n));
    got += n;
    // A receive that did not fill its room took all there was; otherwise ask whether more is.
    if (n < asked || ProbeReadable(SocketOf(upstream_), 0) != 0) return;
  }
}

bool PacedRelay::TakeHead() {
  if (headDone_) return true;
  const std::optional<std::size_t> end = head_.Find(held_.Data(), upstreamClosed_);
  if (!end) return false;
  held_.ReplaceFront(*end, RewriteResponseChunk(held_.Data().substr(0, *end)));
  headDone_ = true;
  return true;
}

void PacedRelay::ShowHeld() {
  const std::string_view chunk = held_.Data();
  if (chunk.find("\r\n") != std::string_view::npos) view_.AppendDownloadText(std::string(chunk));
}

std::int64_t PacedRelay::SendHeld(std::int64_t room) {
  const std::string_view bytes = FirstChars(held_.Data(), room);
  if (bytes.empty()) return 0;
  // A slice is never above 2^31 bytes here: held bytes stay within kMaxHeldBytes.
  client_.WriteBytes(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  held_.Consume(bytes.size());
  return static_cast<std::int64_t>(bytes.size());
}

// Returns false when the run should end because the client went away during a pause with a
// limit of 0 or less (a positive limit finds out at its next write).
bool PacedRelay::SendPaced() {
  while (!held_.Empty()) {
    const std::int64_t slice = SliceSize(counters_.SpeedLimit.load());
    std::int64_t room = slice - SendHeld(slice);
    // Above one receive per slice, the slice goes on with what else the origin has ready,
    // without holding more than the buffer's cap at a time.
    while (slice > kReceiveBytes && room > 0 && !upstreamClosed_ &&
           ProbeReadable(SocketOf(upstream_), 0) == 0) {
      ReadReady(room);
      if (held_.Empty()) break;
      ShowHeld();
      room -= SendHeld(room);
    }
    view_.SetStatusCaption(Format("Speed limit in action %u", rtl::GetTickCount()));
    pause_(kSlicePauseMs);
    if (slice <= 0 && (ClientGone(client_) || terminated_())) return false;
  }
  held_.Release();
  return true;
}

}  // namespace proxy
