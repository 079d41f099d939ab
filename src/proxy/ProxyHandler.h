#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/AnswerRelay.h"
#include "proxy/BodyBudget.h"
#include "proxy/OriginMemory.h"
#include "proxy/PacedRelay.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/Readiness.h"
#include "proxy/UpstreamWatch.h"
#include "proxy/http/Refusal.h"
#include "proxy/http/RequestFraming.h"

class TIdPeerThread;
class TIdTCPClient;
class TIdTCPConnection;
class TIdTCPServer;

namespace proxy {

class RelayBuffer;

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
  std::int32_t AnswerHeadDeadlineMs = AnswerRelay::kHeadDeadlineMs;
  // Connecting may take this long in all, however many addresses the destination has, before the
  // client is answered 504.
  std::int32_t ConnectDeadlineMs = 30000;
  // A run whose client has finished sending (or closed) ends once nothing has moved for this
  // long: an answer that stands still, a call blocked upstream, a tunnel with one side closed.
  std::int32_t IdleLimitMs = 60000;
  // What request bodies held whole (chunked ones, ones kept to ask again) may take in all; a
  // request whose body would pass it is answered 503.
  std::int64_t HeldBodyBytes = std::int64_t{64} * 1024 * 1024;
};

// Serves one proxied request per run, in phases: reads the request's header block from the client
// and judges it (http::JudgeRequest), connects to the origin, sends the request as HTTP/1.0
// followed by exactly the body its framing announces, and relays the answer back paced
// (AnswerRelay). Nothing the client sends after that request goes upstream. A CONNECT request
// opens a tunnel instead (Tunnel), whose server-to-client bytes are paced the same way. Runs on
// the peer thread of each client, any number at once; the only shared state is the counters and
// the view.
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
// kMaxDiscardedBytes) before the connection closes, so that the close does not reset the answer
// away.
class ProxyHandler {
 public:
  using PauseFunction = PacedRelay::PauseFunction;

  // The most of a request body held at a time on its way upstream.
  static constexpr std::size_t kMaxBodyHeldBytes = std::size_t{256} * 1024;
  static constexpr std::int32_t kPeriodMs = PacedRelay::kPeriodMs;
  // A body of known length up to this size is kept while it is sent, for asking again.
  static constexpr std::int64_t kMaxRetriedBodyBytes = 65536;
  static_assert(kMaxRetriedBodyBytes <= static_cast<std::int64_t>(HeldBody::kPieceBytes),
                "a kept body takes one piece, reserved whole");
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

  // The bytes of request bodies held whole now, by all runs.
  std::int64_t BodyBytesHeld() const { return bodies_.Used(); }

 private:
  // Ended: the block is complete, malformed, or the client stopped sending.
  enum class Capture { Ended, GiveUp, TooLarge, TimedOut };
  class CountedRun;
  // A refusal, with the one line of text a 502 or 504 carries.
  struct Refused {
    http::Refusal Reason;
    std::string Text = {};
  };

  // The phases of a run.
  Capture CaptureHeader(TIdTCPConnection& client, http::RequestReader& reader, RelayBuffer& buffer);
  // answerAt: when the first byte of the answer may go to the client (the delay after the request
  // was read).
  using TimePoint = std::chrono::steady_clock::time_point;
  void Forward(TIdTCPConnection& client, const http::Request& request, RelayBuffer& buffer,
               const std::function<bool()>& terminated, TimePoint answerAt);
  void OpenTunnel(TIdTCPConnection& client, const http::Request& request, RelayBuffer& buffer,
                  const std::function<bool()>& terminated, TimePoint answerAt);
  // The refusal to answer instead when the destination may not or cannot be reached, or has not
  // answered by the connect deadline.
  std::optional<Refused> Connect(TIdTCPConnection& client, CountedRun& run,
                                 const http::Request& request);
  // body: a chunked body decoded, or a body kept to ask again, which goes with the header block;
  // a body of known length on its first way goes by itself (ForwardBody).
  void SendRequest(CountedRun& run, const http::Request& request, const HeldBody& body,
                   bool http11);
  // The relay for the answer on the run's upstream connection, made before a body goes up, so
  // that interim answers reach the client meanwhile.
  AnswerRelay AnswerTo(TIdTCPConnection& client, CountedRun& run, const http::Request& request,
                       const std::function<bool()>& terminated, TimePoint answerAt);
  // True when the origin refused HTTP/1.0 and the request is to be asked again (only when the
  // relay is retryable); otherwise the client has had its answer, a refusal or a reset.
  bool RelayAnswer(TIdTCPConnection& client, CountedRun& run, AnswerRelay& relay,
                   const http::Request& request, std::int64_t unsent);

  // How forwarding a body ended: all of it went (or the client closed early), the client stopped
  // sending it, or the origin began its answer first.
  enum class BodyEnd { Sent, Stalled, Answered };
  // Forwards the body while the origin is silent or has sent only interim answers, which go to
  // the client; left counts down the bytes not yet sent. What was sent is appended to kept, when
  // given.
  BodyEnd ForwardBody(TIdTCPConnection& client, CountedRun& run, std::int64_t& left,
                      RelayBuffer& buffer, AnswerRelay& answer, HeldBody* kept);
  // Decodes a chunked body whole into body; the refusal when it cannot be.
  std::optional<http::Refusal> ReadChunkedBody(TIdTCPConnection& client, RelayBuffer& buffer,
                                               HeldBody& body, BodyBudget::Share& held);
  // Connects the run's upstream client to the request's host and port, or gives the refusal to
  // answer instead when the client may not reach that destination. Connect errors leave as
  // exceptions; deadline is set once the addresses are known and connecting begins.
  std::optional<http::Refusal> ConnectUpstream(TIdTCPConnection& client, CountedRun& run,
                                               const http::Request& request,
                                               std::optional<TimePoint>& deadline);
  // Answers the client with the refusal, shows it in the download pane and closes.
  void Refuse(TIdTCPConnection& client, const Refused& refused);
  void ChangeCount(std::int32_t delta);

  ProxyView& view_;
  ProxyCounters& counters_;
  PauseFunction pause_;
  const Timing timing_;
  UpstreamWatch watch_;
  OriginMemory refusers_;  // origins that refused HTTP/1.0
  BodyBudget bodies_;
};

}  // namespace proxy
