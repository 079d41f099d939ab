#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "proxy/AnswerRelay.h"
#include "proxy/BodyBudget.h"
#include "proxy/Limits.h"
#include "proxy/LiveSettings.h"
#include "proxy/OriginMemory.h"
#include "proxy/Pacing.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/RelayBuffer.h"
#include "proxy/UpstreamWatch.h"
#include "proxy/http/Refusal.h"
#include "proxy/http/RequestFraming.h"

class TIdTCPClient;
class TIdTCPConnection;

namespace proxy {

// What every run of one handler shares. Any thread: its parts are each safe to share.
struct RunShared {
  RunShared(ProxyView& view, const LiveSettings& settings, ProxyCounters& counters,
            Pacing::PauseFunction pause, const RunLimits& limits)
      : View(view),
        Settings(settings),
        Counters(counters),
        Pause(std::move(pause)),
        Limits(limits),
        Watch(limits.WatchPeriod, limits.IdleLimit),
        Bodies(limits.BodyBudgetBytes) {}

  ProxyView& View;
  const LiveSettings& Settings;
  ProxyCounters& Counters;
  const Pacing::PauseFunction Pause;
  const RunLimits Limits;
  UpstreamWatch Watch;
  OriginMemory Refusers;  // origins that refused HTTP/1.0
  BodyBudget Bodies;
};

// One client connection's request, carried through its phases: judge (read and judge the header
// block, hold a body that must be held whole), connect, send, relay the answer, and ask once more
// in HTTP/1.1 when the origin refuses HTTP/1.0; or, for CONNECT, a tunnel. One thread.
//
// From the moment it sets out to reach the origin the run is counted, and on every way out it
// cleans up the same way: both connections closed, the count lowered, and the body's share of the
// budget given back before the client can see the end and send its next request. Until the client
// has its whole answer (or a refusal), closing its connection resets it, whoever closes it: a
// server that stops, a run that gives up, an error. Only an answer complete by its framing (the
// origin's close, for one delimited by it) ends in order.
class RequestRun {
 public:
  RequestRun(RunShared& shared, TIdTCPConnection& client, const std::function<bool()>& terminated);
  ~RequestRun();
  RequestRun(const RequestRun&) = delete;
  RequestRun& operator=(const RequestRun&) = delete;

  // The whole run. Errors leave as exceptions, after the clean-up, for the server to deal with.
  void Serve();

 private:
  // A refusal, with what the line of text it carries says besides its failure: the subject (the
  // origin, and what else is said of it) and a detail.
  struct Refused {
    http::Refusal Reason;
    std::string Subject = {};
    std::string Detail = {};
  };
  // Ended: the block is complete, malformed, or the client stopped sending.
  enum class Capture { Ended, Silent, TooLarge, TimedOut };
  // How forwarding a body ended: all of it went (or the client closed early), the client stopped
  // sending it, or the origin began its answer first.
  enum class BodyEnd { Sent, Stalled, Answered };
  enum class Direction { ToClient, ToOrigin };

  // Judge: false when the run is over already (refused, or the client said nothing).
  bool Judge();
  Capture CaptureHead(http::RequestReader& reader);
  // A body held whole: a chunked one, read whole before anything is connected so that a bad one
  // costs the origin nothing, which goes on with the length it turned out to have; or a small one
  // of known length, kept while it is sent so that the request can be asked again.
  bool HoldBody();
  std::optional<http::Refusal> ReadChunkedBody();

  void Forward();
  void OpenTunnel();
  // One attempt on a connected origin; true when the origin refused HTTP/1.0 without acting on
  // the request, which is then to be asked again.
  bool Attempt(bool http11);

  // Connect: the refusal to answer instead when the destination may not or cannot be reached, or
  // has not answered by the connect deadline.
  std::optional<Refused> Connect();
  // Connect errors leave as exceptions; deadline is set once the addresses are known and
  // connecting begins.
  std::optional<http::Refusal> ConnectUpstream(std::optional<Deadline>& deadline);
  Refused ConnectFailure(const std::exception& error, std::optional<Deadline> deadline) const;
  void SetUpstream(std::unique_ptr<TIdTCPClient> upstream);
  void DropUpstream();

  // Send: the header block, then a body held whole (a chunked body decoded, or one kept to ask
  // again); a body of known length on its first way goes by itself (ForwardBody).
  void Send(bool http11);
  // Forwards the body while the origin is silent or has sent only interim answers, which go to
  // the client. What is sent of a kept body is appended to it.
  BodyEnd ForwardBody(AnswerRelay& answer);

  // Relay: the relay for the answer, made before a body goes up, so that interim answers reach
  // the client meanwhile.
  AnswerRelay AnswerRelayFor();
  // True when the origin refused HTTP/1.0 and the request is to be asked again (only when the
  // relay is retryable); otherwise the client has had its answer, a refusal or a reset.
  bool Relay(AnswerRelay& relay);
  Refused AnswerRefusal(AnswerRelay::Outcome outcome, http::Refusal problem) const;

  // The pacing of each direction: where a run's pacing is chosen.
  Pacing PacingOf(Direction direction) const;
  // Counted from now on; the client's connection resets when it closes, until AnswerWhole.
  void Begin();
  // The client has had all of its answer: from now on its connection ends in order.
  void AnswerWhole();
  // The body will not be asked again: its memory and its share of the budget go.
  void LetBodyGo();
  bool ClientLeft();
  // Answers the client with the refusal, shows it in the download pane and closes.
  void Refuse(const Refused& refused);
  void ChangeCount(std::int32_t delta);
  // The origin as the request names it, for the lines that say what became of it.
  std::string Origin() const;

  RunShared& shared_;
  const RunLimits& limits_;
  TIdTCPConnection& client_;
  const std::function<bool()>& terminated_;
  // What the client sent and is not yet forwarded.
  RelayBuffer buffer_{kUpstreamBufferBytes};
  http::Request request_;
  // When the first byte of the answer may go to the client (the delay after the request was read).
  Deadline answerAt_;
  BodyBudget::Share held_;
  HeldBody body_;
  bool keepBody_ = false;
  // What the client has yet to send of a body of known length.
  std::int64_t unsent_ = 0;
  bool counted_ = false;
  // For marking the calls that block on the origin, which the watch may end.
  std::unique_ptr<UpstreamWatch::Registration> watched_;
  std::unique_ptr<TIdTCPClient> upstream_;
};

}  // namespace proxy
