#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/IdStack.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"

class TIdPeerThread;
class TIdTCPClient;
class TIdTCPConnection;
class TIdTCPServer;

namespace proxy {

// One select for readability on a socket, bypassing the stack: 0 when readable, -2 when the
// time-out passed, -1 when select fails (for instance on a socket closed meanwhile).
std::int32_t ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds);

// Serves one proxied request per run: captures the request from the client, rewrites it, sends
// it to the origin server and relays the answer back in paced slices of SpeedLimit x 1000 bytes,
// each followed by a one-second pause. Runs on the peer thread of each client, any number at
// once; the only shared state is the counters and the view.
class ProxyHandler {
 public:
  using PauseFunction = std::function<void(std::int32_t milliseconds)>;

  // Requests larger than this are refused rather than held in memory.
  static constexpr std::int64_t kMaxRequestBytes = std::int64_t{64} << 20;
  // How long an unfinished request may wait for its next bytes.
  static constexpr std::int32_t kUnfinishedRequestWaitMs = 10000;
  // One pass reads at least one default receive and at most this from the origin server.
  static constexpr std::int32_t kMinChunkBytes = 32768;
  static constexpr std::int32_t kMaxChunkBytes = 16 << 20;
  static constexpr std::int32_t kSlicePauseMs = 1000;

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

  Capture CaptureRequest(TIdTCPConnection& client, class RequestCapture& capture);
  void Relay(TIdTCPConnection& client, TIdTCPClient& upstream,
             const std::function<bool()>& terminated);
  bool AwaitUpstream(TIdTCPConnection& client, TIdTCPClient& upstream,
                     const std::function<bool()>& terminated);
  std::string ReadChunk(TIdTCPClient& upstream);
  bool SendInSlices(TIdTCPConnection& client, const std::string& chunk,
                    const std::function<bool()>& terminated);
  void ShowCount(std::int32_t count);

  ProxyView& view_;
  ProxyCounters& counters_;
  PauseFunction pause_;
};

}  // namespace proxy
