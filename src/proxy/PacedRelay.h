#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "proxy/AnswerHead.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/RelayBuffer.h"

class TIdTCPConnection;

namespace proxy {

// Relays an origin server's answer to the client of one run, paced: slices of SpeedLimit x 1000
// bytes, each followed by a one-second pause, the limit read again for every slice.
//
// A pass waits for the origin, reads what it has ready - one receive's worth (32768 bytes) up to
// limit 32, up to a whole slice above that - and sends it in slices. The answer's header block is
// held until it is complete and rewritten as a whole; the body goes out byte for byte. A chunk
// that holds CR LF is shown in the download pane.
//
// Memory follows the data: the relay holds only what it has read and not yet sent, in a buffer
// that grows with what the origin has ready (up to kMaxHeldBytes) and is freed after every pass.
// Above limit 32 a slice is streamed through that buffer instead of being held whole.
class PacedRelay {
 public:
  using PauseFunction = std::function<void(std::int32_t milliseconds)>;

  // One default receive: what a pass takes from the origin up to limit 32.
  static constexpr std::int64_t kReceiveBytes = 32768;
  static constexpr std::size_t kMaxHeldBytes = 1024 * 1024;
  static constexpr std::int32_t kSlicePauseMs = 1000;

  PacedRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
             ProxyCounters& counters, const PauseFunction& pause,
             const std::function<bool()>& terminated);

  // Passes until the origin closes, the client goes, or the thread is told to end. Errors of
  // either connection leave as exceptions.
  void Run();

 private:
  // False when the run should end without another pass.
  bool AwaitUpstream();
  bool Pass();
  // Receives what the origin has ready, at least once, until `wanted` more bytes are held.
  void ReadReady(std::int64_t wanted);
  // Rewrites the header block in place once it is complete; false while it may still go on.
  bool TakeHead();
  void ShowHeld();
  // Sends up to `room` of the held bytes and gives how many went.
  std::int64_t SendHeld(std::int64_t room);
  bool SendPaced();

  TIdTCPConnection& client_;
  TIdTCPConnection& upstream_;
  ProxyView& view_;
  ProxyCounters& counters_;
  const PauseFunction& pause_;
  const std::function<bool()>& terminated_;
  RelayBuffer held_{kMaxHeldBytes};
  AnswerHead head_;
  bool headDone_ = false;
  bool upstreamClosed_ = false;
};

}  // namespace proxy
