#pragma once

#include <cstdint>
#include <functional>

#include "proxy/Limits.h"
#include "proxy/LiveSettings.h"
#include "proxy/Pacing.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/RequestRun.h"

class TIdPeerThread;
class TIdTCPConnection;

namespace proxy {

// Serves one proxied request per client connection, each in a run of its own (RequestRun):
// reads the request's header block from the client and judges it (http::JudgeRequest), connects
// to the origin, sends the request as HTTP/1.0 (as HTTP/1.1 to an origin known to refuse HTTP/1.0,
// and once more so to one that refuses it now) followed by exactly the body its framing
// announces, and relays the answer back paced (AnswerRelay). Nothing the client sends after that
// request goes upstream. A CONNECT request opens a tunnel instead (Tunnel), whose server-to-client
// bytes are paced the same way. Each refusal the proxy answers itself is shown in the download
// pane. Runs on the peer thread of each client, any number at once; what they share is RunShared.
//
// An origin may answer before it has read the whole body (a 413, a 401): forwarding stops, the
// answer is relayed as any other, and the rest of the body is read and dropped (up to
// kMaxBodyDrainBytes) before the connection closes, so that the close does not reset the answer
// away.
class ProxyHandler {
 public:
  using PauseFunction = Pacing::PauseFunction;

  // pause defaults to a real sleep; tests may pass one that only records, and limits that are
  // shorter or smaller.
  explicit ProxyHandler(ProxyView& view, const LiveSettings& settings = Live(),
                        ProxyCounters& counters = Counters(), PauseFunction pause = {},
                        RunLimits limits = {});

  // One run for the client connection of a server's peer thread: the server's execute handler.
  void Execute(TIdPeerThread* AThread);

  // One run for a client connection. terminated reports the peer thread's Terminated flag.
  // Errors leave as exceptions after the clean-up, for the server to deal with. A server's
  // connection lets the run refuse requests that would loop back to that server.
  void Run(TIdTCPConnection& client, const std::function<bool()>& terminated);

  // The bytes of the body budget that request bodies held whole take now, in all runs.
  std::int64_t BodyBudgetUsed() const { return shared_.Bodies.Used(); }

 private:
  RunShared shared_;
};

}  // namespace proxy
