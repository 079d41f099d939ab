#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/PacedRelay.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/Readiness.h"
#include "proxy/UpstreamWatch.h"

class TIdPeerThread;
class TIdTCPClient;
class TIdTCPConnection;
class TIdTCPServer;

namespace proxy {

class ChunkedBody;
class RelayBuffer;
class RequestCapture;

// How long clients may take; tests shorten these.
struct HandlerTiming {
  // A header block not complete this long after the client connected is answered 408; a
  // client that has sent nothing by then is closed without a word.
  std::int32_t HeaderDeadlineMs = 60000;
  // How long an unfinished request (header block or announced body) may wait for its next
  // bytes before it is answered 408.
  std::int32_t UnfinishedRequestWaitMs = 10000;
  // How often runs blocked upstream are looked at for a client that has gone.
  std::int32_t WatchPeriodMs = 250;
  // An answer header block not complete this long after the request went upstream is answered
  // 504.
  std::int32_t AnswerHeadDeadlineMs = PacedRelay::kHeadDeadlineMs;
};

// Serves one proxied request per run: captures the request's header block from the client,
// judges and rewrites it (JudgeRequest), sends it to the origin server as HTTP/1.0 followed by
// exactly the body its framing announces, and relays the answer back paced (PacedRelay). Nothing
// the client sends after that request goes upstream. A CONNECT request opens a tunnel instead
// (Tunnel), whose server-to-client bytes are paced the same way. Runs on the peer thread of each
// client, any number at once; the only shared state is the counters and the view.
//
// What is refused, with a short answer and nothing sent upstream: a header block that is
// malformed or framed ambiguously, or a target that is not itself an http:// URL (400, see
// JudgeRequest), a version other than HTTP/1.x (505), a header block over kMaxHeaderBytes (431),
// a chunked body that is malformed (400) or over ChunkedBody::kMaxBytes (413), a request not
// complete by its deadline (408), a loopback destination asked for by a client on another host
// (403), and a destination that is one of the server's own listeners (508). Destinations are
// judged after name resolution, on the address then connected to. An answer whose header block
// does not end within AnswerHead::kMaxBytes is answered 502. Calls blocked on the origin
// (connect, send) end soon after the client has gone (UpstreamWatch).
//
// An origin may answer before it has read the whole body (a 413, a 401): forwarding stops, the
// answer is relayed as any other, and the rest of the body is read and dropped (up to
// kMaxDiscardedBytes) before the connection closes, so that the close does not reset the answer
// away.
class ProxyHandler {
 public:
  using PauseFunction = PacedRelay::PauseFunction;

  // Header blocks larger than this are refused rather than held in memory; bodies of any
  // announced length stream through.
  static constexpr std::int64_t kMaxHeaderBytes = 65536;
  // The most of a request body held at a time on its way upstream.
  static constexpr std::size_t kMaxBodyHeldBytes = std::size_t{256} * 1024;
  static constexpr std::int32_t kPeriodMs = PacedRelay::kPeriodMs;
  // The most of a body left unsent by an early answer that is read to let the answer arrive.
  static constexpr std::int64_t kMaxDiscardedBytes = std::int64_t{16} * 1024 * 1024;

  using Timing = HandlerTiming;

  // pause defaults to a real sleep; tests may pass one that only records.
  explicit ProxyHandler(ProxyView& view, ProxyCounters& counters = Counters(),
                        PauseFunction pause = {}, Timing timing = {});

  // Makes this handler the server's execute handler, as the program sets it up: every client
  // connection is served by one run.
  void ServeOn(TIdTCPServer& server);
  // One run for the client connection of a server's peer thread.
  void Execute(TIdPeerThread* AThread);

  // One run for a client connection. terminated reports the peer thread's Terminated flag.
  // Errors leave as exceptions after the clean-up, for the server to deal with. A server's
  // connection lets the run refuse requests that would loop back to that server.
  void Run(TIdTCPConnection& client, const std::function<bool()>& terminated);

 private:
  // Ended: the block is complete, malformed, or the client stopped sending.
  enum class Capture { Ended, GiveUp, TooLarge, TimedOut };
  class CountedRun;

  void Forward(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer,
               const std::function<bool()>& terminated);
  void OpenTunnel(TIdTCPConnection& client, const RequestCapture& capture, RelayBuffer& buffer,
                  const std::function<bool()>& terminated);

  Capture CaptureHeader(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer);
  // How forwarding a body ended: all of it went (or the client closed early), the client stopped
  // sending it, or the origin began its answer first.
  enum class BodyEnd { Sent, Stalled, Answered };
  // Forwards the body while the origin is silent; left counts down the bytes not yet sent.
  BodyEnd ForwardBody(TIdTCPConnection& client, CountedRun& run, std::int64_t& left,
                      RelayBuffer& buffer);
  // The status line that refuses a chunked body, or none once it has been read whole.
  std::optional<std::string_view> ReadChunkedBody(TIdTCPConnection& client, RelayBuffer& buffer,
                                                  ChunkedBody& body);
  // The answer that refuses a connection to the destination, or none when the run may go on.
  // Connects the run's upstream client to host:port, or gives the refusal to answer instead when
  // the client may not reach that destination. Connect errors leave as exceptions.
  std::optional<std::string_view> ConnectUpstream(TIdTCPConnection& client, CountedRun& run,
                                                  const std::string& host, std::int32_t port);
  // Tells the client (and the download pane) in one line why there is no answer from the origin.
  void BadGateway(TIdTCPConnection& client, const std::string& text,
                  std::string_view status = "HTTP/1.0 502 Bad Gateway");
  void ChangeCount(std::int32_t delta);

  ProxyView& view_;
  ProxyCounters& counters_;
  PauseFunction pause_;
  const Timing timing_;
  UpstreamWatch watch_;
};

}  // namespace proxy
