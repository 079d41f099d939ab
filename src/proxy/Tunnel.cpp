#include "proxy/Tunnel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdTCPConnection.h"
#include "proxy/Limits.h"
#include "proxy/Pacing.h"
#include "proxy/Readiness.h"
#include "proxy/RelayBuffer.h"
#include "proxy/Sockets.h"
#include "rtl/Thread.h"

namespace proxy {

// The client-to-server direction: every receive is sent on whole before the next one, paced.
class Tunnel::Upload : public rtl::TThread {
 public:
  using Clock = std::chrono::steady_clock;

  Upload(TIdStackSocketHandle client, TIdStackSocketHandle origin, std::string early, Pacing pacing)
      : TThread(false),
        client_(client),
        origin_(origin),
        early_(std::move(early)),
        pacing_(std::move(pacing)) {}
  ~Upload() override { Shutdown(); }

  // The client reset, or its socket was dropped: nobody is left to relay to.
  bool ClientGone() const { return clientGone_.load(); }
  // When the client last sent a byte, or its close.
  Clock::time_point LastMoved() const { return Clock::time_point(Clock::duration(lastMoved_)); }

 protected:
  void Execute() override {
    if (!SendAll(early_)) return;
    std::string().swap(early_);
    RelayBuffer held(kUpstreamBufferBytes);
    TIdStack* stack = GlobalStack();
    for (;;) {
      // Nothing waiting: give the memory back before blocking in the receive.
      if (!ReadableNow(client_)) held.Release();
      const std::span<char> space = held.Space(kUpstreamBufferBytes);
      const std::int32_t n =
          stack->SockReceive(client_, space.data(), static_cast<std::int32_t>(space.size()), 0);
      if (n >= 0) lastMoved_ = Clock::now().time_since_epoch().count();
      if (n == 0) {
        // The client sends no more; the server may still have things to say.
        stack->SockShutdown(origin_, winsock::SD_SEND);
        return;
      }
      if (n < 0) {
        clientGone_ = true;
        return;
      }
      held.Commit(static_cast<std::size_t>(n));
      if (!SendAll(held.Data())) return;  // the server's side of the run sees why
      held.Consume(held.Size());
    }
  }

 private:
  bool SendAll(std::string_view bytes) {
    return pacing_.SendPaced(bytes, [this](std::string_view part) {
      return GlobalStack()->SockSend(origin_, part.data(), static_cast<std::int32_t>(part.size()),
                                     0);
    });
  }

  const TIdStackSocketHandle client_;
  const TIdStackSocketHandle origin_;
  std::string early_;
  Pacing pacing_;
  std::atomic<bool> clientGone_{false};
  std::atomic<Clock::rep> lastMoved_{Clock::now().time_since_epoch().count()};
};

Tunnel::Tunnel(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
               ProxyCounters& counters, Pacing download, Pacing upload,
               std::function<bool()> terminated, std::chrono::milliseconds idleLimit)
    : client_(client),
      upstream_(upstream),
      view_(view),
      counters_(counters),
      downloadPacing_(std::move(download)),
      uploadPacing_(std::move(upload)),
      terminated_(std::move(terminated)),
      idleLimit_(idleLimit) {}

Tunnel::~Tunnel() {
  if (!upload_) return;
  // Closing both sockets ends a receive or send the other thread is blocked in.
  try {
    client_.DropSocket();
    upstream_.DropSocket();
  } catch (...) {
    // Closing never fails in a way anyone could act on; a destructor must not throw.
  }
  upload_.reset();
}

bool Tunnel::Run(std::string early) {
  // The upload thread gets the two socket numbers, taken before it starts, and nothing else of the
  // connections: once a socket is dropped, calls on its number fail, as numbers are never handed
  // out again.
  upload_ = rtl::TThread::Create<Upload>(client_.Socket(), upstream_.Socket(), std::move(early),
                                         uploadPacing_);
  PacedRelay relay(client_, upstream_, view_, counters_, downloadPacing_, [this] {
    return upload_->ClientGone() || !client_.IsConnected() || terminated_();
  });
  // The idle limit applies once the client has closed its side: bytes it sent count as moving.
  relay.SetIdleLimit(idleLimit_, [this] { return upload_->LastMoved(); });
  PacedRelay::Outcome outcome = PacedRelay::Outcome::GaveUp;
  // A reset on either side is passed on as one, so neither end takes a cut-off stream for whole.
  try {
    outcome = relay.Run();
  } catch (const EIdException&) {
    // A socket closed while the upload thread waits on it is shut down first to wake it, which
    // the peer would take for an orderly end: the thread is ended before the resets.
    GlobalStack()->SockShutdown(client_.Socket(), winsock::SD_RECEIVE);
    upload_.reset();
    ResetConnection(client_);
    ResetConnection(upstream_);
    throw;
  }
  if (upload_->ClientGone()) ResetConnection(upstream_);
  return outcome == PacedRelay::Outcome::Relayed;
}

}  // namespace proxy
