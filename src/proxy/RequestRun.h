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

// What every run of one handler shares; each part is safe to share between threads.
struct RunShared {
  ProxyView& View;
  const LiveSettings& Settings;
  ProxyCounters& Counters;
  const Pacing::PauseFunction Pause;
  const RunLimits Limits;
  UpstreamWatch Watch{Limits.WatchPeriod, Limits.IdleLimit};
  OriginMemory Refusers = {};  // origins that refused HTTP/1.0
  BodyBudget Bodies{Limits.BodyBudgetBytes};
};

// One client connection's request, carried through its phases: judge (read and judge the header
// block, hold a body that must be held whole), connect, send, relay the answer, and ask once more
// in HTTP/1.1 when the origin refuses HTTP/1.0; or, for CONNECT, a tunnel. One thread.
//
// What the proxy answers itself, with nothing sent upstream, is a refusal (http::Refusal): a
// request the codec refuses, a chunked body that is malformed or too large, a request not complete
// by its deadline, a loopback destination asked for by a client on another host, a destination
// that is one of the server's own listeners, and a destination that cannot be reached.
// Destinations are judged after name resolution, on the address then connected to. Calls blocked
// on the origin (connect, send) end soon after the client has gone (UpstreamWatch), and a connect,
// however many addresses it tries, by its deadline.
//
// From the moment it sets out to reach the origin the run is counted, and on every way out it
// cleans up the same way: both connections closed, the count lowered, and the body's share of the
// budget given back before the client can see the end and send its next request. A body held
// whole takes its share only while a second attempt may need it. Until the client has its whole
// answer (or a refusal), closing its connection resets it, whoever closes it: a server that
// stops, a run that gives up, an error. Only an answer complete by its framing (the origin's
// close, for one delimited by it) ends in order.
class RequestRun {
 public:
  RequestRun(RunShared& shared, TIdTCPConnection& client, const std::function<bool()>& terminated);
  ~RequestRun();
  RequestRun(const RequestRun&) = delete;
  RequestRun& operator=(const RequestRun&) = delete;

  // The whole run. Errors leave as exceptions, after the clean-up, for the server to deal with.
  void Serve();

 private:
  // A refusal, and what its line says after the failure: the subject (the origin, and what else
  // is said of it) and a detail.
  struct Refused {
    http::Refusal Reason;
    std::string Subject = {};
    std::string Detail = {};
  };
  enum class BodyEnd { Sent, Stalled, Answered };
  enum class Direction { ToClient, ToOrigin };

  // Judge: each false when the run is over (refused, or the client said nothing).
  bool Judge();
  std::optional<http::Refusal> CaptureHead(http::RequestReader& reader);
  bool HoldBody();
  std::optional<http::Refusal> ReadChunkedBody();

  void Forward();
  void OpenTunnel();
  bool Attempt(bool http11);

  // Connect: the refusal to answer instead, if any.
  std::optional<Refused> Connect();
  std::optional<http::Refusal> ConnectUpstream(std::optional<Deadline>& deadline);
  Refused ConnectFailure(const std::exception& error, std::optional<Deadline> deadline) const;
  void SetUpstream(std::unique_ptr<TIdTCPClient> upstream);
  void DropUpstream();

  // Send and relay.
  void Send(bool http11);
  BodyEnd ForwardBody(AnswerRelay& answer);
  AnswerRelay AnswerRelayFor();
  bool Relay(AnswerRelay& relay);
  Refused AnswerRefusal(AnswerRelay::Outcome outcome, http::Refusal problem) const;

  // Where the run's pacing of each direction is chosen.
  Pacing PacingOf(Direction direction) const;
  void Begin();
  void AnswerWhole();
  void LetBodyGo();
  bool ClientLeft();
  void Refuse(const Refused& refused);
  void ChangeCount(std::int32_t delta);
  std::string Origin() const;

  RunShared& shared_;
  const RunLimits& limits_;
  TIdTCPConnection& client_;
  const std::function<bool()>& terminated_;
  RelayBuffer buffer_{kUpstreamBufferBytes};  // what the client sent, not yet forwarded
  http::Request request_;
  Deadline answerAt_;  // the first byte of the answer waits until then: the delay
  BodyBudget::Share held_;
  HeldBody body_;
  bool keepBody_ = false;
  std::int64_t unsent_ = 0;  // what the client has yet to send of a body of known length
  bool counted_ = false;
  std::unique_ptr<UpstreamWatch::Registration> watched_;
  std::unique_ptr<TIdTCPClient> upstream_;
};

}  // namespace proxy
