#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "proxy/PacedRelay.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/Readiness.h"

class TIdPeerThread;
class TIdTCPClient;
class TIdTCPConnection;
class TIdTCPServer;

namespace proxy {

class RelayBuffer;
class RequestCapture;

// Serves one proxied request per run: captures the request's header block from the client,
// rewrites it, sends it to the origin server followed by the body exactly as the client sends it,
// and relays the answer back paced (PacedRelay). A CONNECT request opens a tunnel instead
// (Tunnel), whose server-to-client bytes are paced the same way. Runs on the peer thread of each
// client, any number at once; the only shared state is the counters and the view.
class ProxyHandler {
 public:
  using PauseFunction = PacedRelay::PauseFunction;

  // Header blocks larger than this are refused rather than held in memory; bodies of any size
  // stream through.
  static constexpr std::int64_t kMaxHeaderBytes = 65536;
  // How long an unfinished request (header block or announced body) may wait for its next bytes.
  static constexpr std::int32_t kUnfinishedRequestWaitMs = 10000;
  // The most of a request body held at a time on its way upstream.
  static constexpr std::size_t kMaxBodyHeldBytes = std::size_t{256} * 1024;
  static constexpr std::int32_t kPeriodMs = PacedRelay::kPeriodMs;

  // pause defaults to a real sleep; tests may pass one that only records.
  explicit ProxyHandler(ProxyView& view, ProxyCounters& counters = Counters(),
                        PauseFunction pause = {});

  // Makes this handler the server's execute handler, as the program sets it up: every client
  // connection is served by one run.
  void ServeOn(TIdTCPServer& server);
  // One run for the client connection of a server's peer thread.
  void Execute(TIdPeerThread* AThread);

  // One run for a client connection. terminated reports the peer thread's Terminated flag.
  // Errors leave as exceptions after the clean-up, for the server to deal with.
  void Run(TIdTCPConnection& client, const std::function<bool()>& terminated);

 private:
  enum class Capture { Forward, GiveUp, TooLarge };
  class CountedRun;

  void Forward(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer,
               const std::function<bool()>& terminated);
  void OpenTunnel(TIdTCPConnection& client, const RequestCapture& capture, RelayBuffer& buffer,
                  const std::function<bool()>& terminated);

  Capture CaptureHeader(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer);
  // False when the client stopped sending an announced body.
  bool ForwardBody(TIdTCPConnection& client, TIdTCPClient& upstream, RequestCapture& capture,
                   RelayBuffer& buffer);
  void ShowCount(std::int32_t count);

  ProxyView& view_;
  ProxyCounters& counters_;
  PauseFunction pause_;
};

}  // namespace proxy
