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

// Serves one proxied request per client connection, each in a run of its own (RequestRun), in
// phases: reads the request's header block from the client and judges it (http::JudgeRequest),
// connects to the origin, sends the request as HTTP/1.0 (as HTTP/1.1 to an origin known to refuse
// HTTP/1.0, and once more so to one that refuses it now) followed by exactly the body its framing
// announces, and relays the answer back paced (AnswerRelay). Nothing the client sends after that
// request goes upstream. A CONNECT request opens a tunnel instead (Tunnel), whose server-to-client
// bytes are paced the same way. Runs on the peer thread of each client, any number at once; what
// they share is the settings, the counters, the view, the watch on calls blocked upstream, the
// origins known to refuse HTTP/1.0 and the budget for bodies held whole.
//
// What the proxy answers itself, with nothing sent upstream, is a refusal (http::Refusal): a
// request the codec refuses, a chunked body that is malformed or too large, a request not complete
// by its deadline, a loopback destination asked for by a client on another host, a destination
// that is one of the server's own listeners, and a destination that cannot be reached.
// Destinations are judged after name resolution, on the address then connected to. Each refusal
// is shown in the download pane. Calls blocked on the origin (connect, send) end soon after the
// client has gone (UpstreamWatch), and a connect, however many addresses it tries, by its deadline.
//
// What a run holds is bounded: a body held whole takes its share of one budget, by the memory it
// takes, only while a second attempt may need it; a run whose client has finished sending ends
// once nothing has moved for the idle limit. A client whose answer is not whole is reset when its
// connection closes, whoever closes it (a server that stops, too), as an origin's cut would.
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
