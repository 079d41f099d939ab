#include "proxy/ProxyHandler.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPConnection.h"
#include "net/IdTCPServer.h"
#include "net/IdTCPServerConnection.h"
#include "proxy/AnswerRelay.h"
#include "proxy/BodyBudget.h"
#include "proxy/ConnectRace.h"
#include "proxy/Destination.h"
#include "proxy/Pacing.h"
#include "proxy/RelayBuffer.h"
#include "proxy/Slices.h"
#include "proxy/Tunnel.h"
#include "proxy/http/ChunkedCoding.h"
#include "rtl/Format.h"
#include "rtl/Time.h"

namespace proxy {
namespace {

// A socket that could not be made for want of descriptors: the client hears 503, not silence.
bool OutOfDescriptors(const EIdInvalidSocket& error) {
  return error.ErrorCode() == winsock::WSAEMFILE || error.ErrorCode() == winsock::WSAENOBUFS;
}

// Writes an answer the proxy gives itself and closes the connection after it.
void SendAndClose(TIdTCPConnection& client, const std::string& answer) {
  try {
    client.Write(answer);
    // Closing with request bytes still unread would reset the connection, and the client could
    // lose the answer with it: read on (a bounded amount) until the client falls silent.
    char discarded[4096];
    for (int reads = 0; reads < 256 && ProbeReadable(client.Socket(), 1000) == Readiness::Readable;
         ++reads) {
      if (client.ReadAvailableInto(discarded, sizeof discarded) == 0) break;
    }
  } catch (const EIdException&) {
    // The client has gone already; there is nobody left to tell.
  }
  if (client.IsConnected()) client.DropSocket();
}

// What a network error says went wrong, without the "Socket Error # n" heading or a last stop;
// what failed, when the error says nothing.
std::string Reason(const std::exception& error, http::Refusal refusal) {
  std::string text = error.what();
  if (const std::size_t heading = text.find("\r\n"); heading != std::string::npos)
    text.erase(0, heading + 2);
  if (text.ends_with('.')) text.pop_back();
  return text.empty() ? std::string(http::Describe(refusal).Reason) : text;
}

// The origin as the request names it, for the lines that say what became of it.
std::string Origin(const http::Request& request) {
  return request.Host + ":" + request.PortText;
}

// The line a 503 carries when held bodies have taken all the memory they may.
const std::string kNoRoom = "Tramlet has no room to hold this request's body now; try again later";

// A deadline as the line a 504 carries gives it: "30 s", "1.5 s".
std::string SecondsText(std::int32_t milliseconds) {
  std::string text = std::to_string(milliseconds / 1000);
  if (const std::int32_t rest = milliseconds % 1000; rest != 0) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    while (fraction.ends_with('0'))
      fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

// Why a judged request is refused, in the one line a 502 carries; empty for other refusals.
std::string JudgedText(const http::Request& request) {
  if (request.Refused != http::Refusal::InvalidPort) return {};
  return "Tramlet could not connect to " + request.Host + ": invalid port '" + request.PortText +
         "'";
}

// Receives what the connection has (waiting for it when nothing is there yet) into the buffer's
// room for at most `wanted` bytes; 0 once the peer has closed.
std::size_t ReceiveInto(TIdTCPConnection& from, RelayBuffer& buffer, std::int64_t wanted) {
  const std::span<char> space = buffer.Space(static_cast<std::size_t>(
      std::clamp<std::int64_t>(wanted, 0, std::numeric_limits<std::int32_t>::max())));
  if (space.empty()) return 0;
  const std::int32_t n =
      from.ReadAvailableInto(space.data(), static_cast<std::int32_t>(space.size()));
  if (n <= 0) return 0;
  buffer.Commit(static_cast<std::size_t>(n));
  return static_cast<std::size_t>(n);
}

// Sends bytes upstream until the origin has something to say (an early answer, or the close
// after one); the count sent. A send that fails with the answer waiting is no error: an origin
// that answers and closes resets what it did not read.
std::size_t SendUnlessAnswered(TIdTCPConnection& upstream, std::string_view bytes) {
  // Small pieces, so that a send the select found room for does not block on a full window.
  constexpr std::size_t kPiece = std::size_t{16} * 1024;
  TIdStack* stack = GlobalStack();
  const TIdStackSocketHandle socket = upstream.Socket();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    switch (WaitSendable(socket, 1000)) {
      case SendReadiness::Readable:
        return sent;
      case SendReadiness::TimedOut:
        continue;
      case SendReadiness::Failed:
        throw EIdNotConnected();  // dropped by the watch: the client left or a stop came
      case SendReadiness::Writable:
        break;
    }
    const std::int32_t n =
        stack->SockSend(socket, bytes.data() + sent,
                        static_cast<std::int32_t>(std::min(bytes.size() - sent, kPiece)), 0);
    if (n <= 0) {
      if (ProbeReadable(socket, 0) == Readiness::Readable) return sent;
      stack->CheckSocketResult(Id_SOCKET_ERROR);
      throw EIdNotConnected();
    }
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

// Reads and drops what the client still sends, until it falls silent for a second or maxBytes
// are gone.
void DiscardIncoming(TIdTCPConnection& client, std::int64_t maxBytes) {
  char discarded[16384];
  try {
    for (std::int64_t taken = 0;
         taken < maxBytes && WaitReadable(client.Socket(), 1000) == Readiness::Readable;) {
      const std::int32_t n = client.ReadAvailableInto(discarded, sizeof discarded);
      if (n <= 0) return;
      taken += n;
    }
  } catch (const EIdException&) {
    // The client has gone; there is nothing left to wait for.
  }
}

// The address the client connected from, as the server accepted it.
std::string PeerAddressOf(const TIdTCPConnection& client) {
  TIdIOHandlerSocket* handler = client.SocketHandler();
  return handler && handler->SocketHandle() ? handler->SocketHandle()->RemoteIP() : std::string();
}

}  // namespace

ProxyHandler::ProxyHandler(ProxyView& view, ProxyCounters& counters, PauseFunction pause,
                           Timing timing)
    : view_(view),
      counters_(counters),
      pause_(std::move(pause)),
      timing_(timing),
      watch_(timing.WatchPeriodMs, timing.IdleLimitMs),
      bodies_(timing.HeldBodyBytes) {
  if (!pause_) pause_ = [](std::int32_t ms) { rtl::Sleep(ms); };
}

void ProxyHandler::ServeOn(TIdTCPServer& server) {
  server.OnExecute = [this](TIdPeerThread* AThread) { Execute(AThread); };
}

void ProxyHandler::Execute(TIdPeerThread* AThread) {
  Run(*AThread->Connection(), [AThread] { return AThread->Terminated(); });
}

// A run from the moment it has made its upstream client: counted, and on every way out the
// same clean-up - both connections closed, the count lowered, and the body's share of the budget
// given back before the client can see the end and send its next request.
//
// Until the client has its whole answer (or a refusal), closing its connection resets it,
// whoever closes it: a server that stops, a run that gives up, an error. Only an answer complete
// by its framing (the origin's close, for one delimited by it) ends in order.
class ProxyHandler::CountedRun {
 public:
  CountedRun(ProxyHandler& handler, TIdTCPConnection& client,
             const std::function<bool()>& terminated, BodyBudget::Share* held = nullptr)
      : handler_(handler),
        client_(client),
        terminated_(terminated),
        held_(held),
        upstream_(std::make_unique<TIdTCPClient>()),
        watched_(Watch(handler.watch_, client, *upstream_, terminated)) {
    handler_.ChangeCount(+1);
    ResetWhenClosed(client_, true);
  }
  ~CountedRun() {
    try {
      watched_.reset();  // before the connections it watches go
      if (upstream_->IsConnected()) upstream_->DropSocket();
      upstream_.reset();
      handler_.ChangeCount(-1);
      GiveBackShare();
      if (client_.IsConnected()) client_.DropSocket();
    } catch (...) {
      // Closing never fails in a way anyone could act on; a destructor must not throw.
    }
  }
  CountedRun(const CountedRun&) = delete;
  CountedRun& operator=(const CountedRun&) = delete;

  TIdTCPClient& Upstream() { return *upstream_; }
  // A new client, not yet connected, in place of the one the run had; that one is closed.
  void Renew() {
    watched_.reset();
    if (upstream_->IsConnected()) upstream_->DropSocket();
    upstream_ = std::make_unique<TIdTCPClient>();
    watched_ = Watch(handler_.watch_, client_, *upstream_, terminated_);
  }
  // The client a connect made, in place of the one the run had; that one is closed.
  void Adopt(std::unique_ptr<TIdTCPClient> upstream) {
    watched_.reset();
    if (upstream_->IsConnected()) upstream_->DropSocket();
    upstream_ = std::move(upstream);
    watched_ = std::make_unique<UpstreamWatch::Registration>(handler_.watch_, client_, *upstream_,
                                                             terminated_);
  }
  // For marking the calls that block on the origin, which the watch may end.
  UpstreamWatch::Registration& Watched() { return *watched_; }
  // The client has had all of its answer: from now on its connection ends in order.
  void AnswerWhole() { ResetWhenClosed(client_, false); }
  // Before the client can see its answer end.
  void GiveBackShare() {
    if (held_) held_->Release();
  }

 private:
  // The upstream socket handler is made before the watch may close it from its own thread, so
  // that the connect only reuses it and never builds it while the watch looks at it.
  static std::unique_ptr<UpstreamWatch::Registration> Watch(
      UpstreamWatch& watch, TIdTCPConnection& client, TIdTCPClient& upstream,
      const std::function<bool()>& terminated) {
    auto handler = std::make_unique<TIdIOHandlerSocket>(&upstream);
    TIdIOHandlerSocket& socket = *handler;
    upstream.SetIOHandler(std::move(handler));
    socket.Open();
    return std::make_unique<UpstreamWatch::Registration>(watch, client, upstream, terminated);
  }

  ProxyHandler& handler_;
  TIdTCPConnection& client_;
  const std::function<bool()>& terminated_;
  BodyBudget::Share* held_;
  std::unique_ptr<TIdTCPClient> upstream_;
  std::unique_ptr<UpstreamWatch::Registration> watched_;
};

void ProxyHandler::Run(TIdTCPConnection& client, const std::function<bool()>& terminated) {
  http::RequestReader reader;
  RelayBuffer buffer(kMaxBodyHeldBytes);
  const Capture captured = CaptureHeader(client, reader, buffer);
  const TimePoint answerAt = std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(std::max(counters_.DelayMs.load(), 0));
  if (captured == Capture::TooLarge) return Refuse(client, {http::Refusal::HeaderTooLarge});
  if (captured == Capture::TimedOut) return Refuse(client, {http::Refusal::HeaderTimedOut});
  // A client that said nothing at all gets nothing back.
  if (captured == Capture::GiveUp || reader.Size() == 0) {
    if (client.IsConnected()) client.DropSocket();
    return;
  }
  if (!reader.Complete()) {
    return Refuse(client, {reader.Malformed() ? http::Refusal::MalformedHeaderBlock
                                              : http::Refusal::HeaderBlockCutShort});
  }
  const http::Request request = http::JudgeRequest(reader.Lines());
  if (request.Refused) return Refuse(client, {*request.Refused, JudgedText(request)});
  if (request.Tunnel) return OpenTunnel(client, request, buffer, terminated, answerAt);
  Forward(client, request, buffer, terminated, answerAt);
}

void ProxyHandler::Forward(TIdTCPConnection& client, const http::Request& request,
                           RelayBuffer& buffer, const std::function<bool()>& terminated,
                           TimePoint answerAt) {
  if (request.ContinueExpected) client.Write("HTTP/1.1 100 Continue\r\n\r\n");
  // A body held whole: a chunked one, read whole before anything is connected so that a bad one
  // costs the origin nothing, which goes on with the length it turned out to have; or a small one
  // of known length, kept while it is sent so that the request can be asked again.
  BodyBudget::Share held(bodies_);
  HeldBody body;
  // The body is held only while a second attempt may still need it, and given back before the
  // client can see its answer end.
  const auto letGo = [&body, &held] {
    body.Clear();
    held.Release();
  };
  std::int64_t unsent = request.BodyKind == http::Request::Body::Length ? request.Length : 0;
  const bool keepBody = unsent > 0 && unsent <= kMaxRetriedBodyBytes;
  if (request.BodyKind == http::Request::Body::Chunked) {
    if (const std::optional<http::Refusal> refusal = ReadChunkedBody(client, buffer, body, held)) {
      letGo();
      return Refuse(client, {*refusal, *refusal == http::Refusal::BodyBudgetSpent ? kNoRoom : ""});
    }
  } else if (keepBody) {
    body.Reserve(static_cast<std::size_t>(unsent));
    if (!held.Hold(body.Memory())) return Refuse(client, {http::Refusal::BodyBudgetSpent, kNoRoom});
  }
  const auto refuse = [&](const Refused& refused) {
    letGo();
    Refuse(client, refused);
  };
  const bool http11 = refusers_.Knows(request.Host, request.Port);
  CountedRun run(*this, client, terminated, &held);
  if (std::optional<Refused> refused = Connect(client, run, request)) return refuse(*refused);
  SendRequest(run, request, body, http11);
  AnswerRelay answer = AnswerTo(client, run, request, terminated, answerAt);
  if (unsent > 0 && ForwardBody(client, run, unsent, buffer, answer, keepBody ? &body : nullptr) ==
                        BodyEnd::Stalled)
    return refuse({http::Refusal::BodyTimedOut});
  // What the client has yet to send of a body the origin answered early.
  unsent -= static_cast<std::int64_t>(std::min<std::size_t>(
      buffer.Size(), static_cast<std::size_t>(std::max<std::int64_t>(unsent, 0))));
  // Whatever came after the request (a pipelined one, say) is not ours to forward.
  buffer.Consume(buffer.Size());
  buffer.Release();
  const bool retryable =
      !http11 && unsent == 0 && (request.BodyKind != http::Request::Body::Length || keepBody);
  answer.SetRetryable(retryable);
  if (retryable) {
    answer.OnFinalHead = letGo;  // an answer that is no refusal of HTTP/1.0 ends the need
  } else {
    letGo();
  }
  if (!RelayAnswer(client, run, answer, request, unsent)) {
    // Relayed as it came, the refusal still says how to ask this origin next time.
    if (!http11 && answer.RefusedHttp10()) refusers_.Remember(request.Host, request.Port);
    return;
  }
  // The origin refused HTTP/1.0 without acting on the request: once more, in HTTP/1.1.
  refusers_.Remember(request.Host, request.Port);
  run.Renew();
  if (std::optional<Refused> refused = Connect(client, run, request)) return refuse(*refused);
  SendRequest(run, request, body, true);
  letGo();
  AnswerRelay again = AnswerTo(client, run, request, terminated, answerAt);
  RelayAnswer(client, run, again, request, 0);
}

void ProxyHandler::SendRequest(CountedRun& run, const http::Request& request, const HeldBody& body,
                               bool http11) {
  const std::string head = http::RequestHead(request, http11, body.Size());
  TIdTCPClient& upstream = run.Upstream();
  {
    UpstreamWatch::Registration::Blocking blocking(run.Watched());
    upstream.Write(head);
  }
  Pacing upload(counters_.UploadLimit, Pacing::AtZero::Unpaced, pause_);
  for (const std::string& piece : body.Pieces()) {
    for (std::string_view rest = piece; !rest.empty();) {
      const auto n = static_cast<std::size_t>(upload.Room(static_cast<std::int64_t>(rest.size())));
      if (n == 0) {
        upload.AwaitNextPeriod();
        continue;
      }
      {
        // Each write on its own: a body the origin takes, however slowly, is no blocked call.
        UpstreamWatch::Registration::Blocking blocking(run.Watched());
        upstream.WriteBytes(rest.data(), static_cast<std::int32_t>(n));
      }
      upload.Spend(static_cast<std::int64_t>(n));
      rest.remove_prefix(n);
    }
  }
  view_.AppendUploadLine(head.substr(0, head.find("\r\n")));
}

AnswerRelay ProxyHandler::AnswerTo(TIdTCPConnection& client, CountedRun& run,
                                   const http::Request& request,
                                   const std::function<bool()>& terminated, TimePoint answerAt) {
  // Bytes the client sends after its request are never forwarded; reading them is how a close
  // behind them is seen while the origin is silent.
  AnswerRelay relay(
      client, run.Upstream(), view_, counters_, pause_,
      [&client, &terminated] { return ClientGone(client) || terminated(); },
      timing_.AnswerHeadDeadlineMs, request.HeadOnly);
  relay.HoldFirstByteUntil(answerAt);
  relay.SetContinueSent(request.ContinueExpected);
  relay.SetIdleLimit(timing_.IdleLimitMs);
  return relay;
}

bool ProxyHandler::RelayAnswer(TIdTCPConnection& client, CountedRun& run, AnswerRelay& relay,
                               const http::Request& request, std::int64_t unsent) {
  const std::string noAnswer = "Tramlet got no answer from " + Origin(request);
  try {
    const AnswerRelay::Outcome outcome = relay.Run();
    // Whatever the client gets now is its answer: the body's share is back before it ends.
    if (outcome != AnswerRelay::Outcome::RefusesHttp10) run.GiveBackShare();
    switch (outcome) {
      case AnswerRelay::Outcome::Relayed:
        run.AnswerWhole();
        if (unsent > 0) DiscardIncoming(client, std::min(unsent, kMaxDiscardedBytes));
        break;
      case AnswerRelay::Outcome::GaveUp:
        break;
      case AnswerRelay::Outcome::RefusesHttp10:
        return true;
      case AnswerRelay::Outcome::CutShort:
        ResetConnection(client);
        break;
      case AnswerRelay::Outcome::NoAnswer:
        Refuse(client, {http::Refusal::NoAnswer, noAnswer + ": the connection was closed"});
        break;
      case AnswerRelay::Outcome::HeadTimedOut:
        Refuse(client,
               {http::Refusal::AnswerHeadTimedOut,
                noAnswer + " within " + std::to_string(timing_.AnswerHeadDeadlineMs) + " ms"});
        break;
      case AnswerRelay::Outcome::HeadTooLarge:
        Refuse(client, {http::Refusal::AnswerHeadTooLarge,
                        noAnswer + ": its header block did not end within " +
                            std::to_string(http::AnswerFraming::kMaxHeadBytes) + " bytes"});
        break;
      case AnswerRelay::Outcome::Invalid:
        Refuse(client,
               {relay.Problem(), "Tramlet got no answer it can relay from " + Origin(request) +
                                     ": " + std::string(http::Describe(relay.Problem()).Reason)});
        break;
    }
  } catch (const EIdException& e) {
    run.GiveBackShare();
    // Only a failure before the answer began is the origin's to explain; once it has begun, a
    // reset tells the client that what it got is not all there was.
    if (relay.ClientOffered()) {
      ResetConnection(client);
      throw;
    }
    Refuse(client, {http::Refusal::NoAnswer, noAnswer + ": " + Reason(e, http::Refusal::NoAnswer)});
  }
  return false;
}

void ProxyHandler::OpenTunnel(TIdTCPConnection& client, const http::Request& request,
                              RelayBuffer& buffer, const std::function<bool()>& terminated,
                              TimePoint answerAt) {
  CountedRun run(*this, client, terminated);
  if (std::optional<Refused> refused = Connect(client, run, request))
    return Refuse(client, *refused);
  view_.AppendUploadLine(request.Line);
  if (!HoldUntil(answerAt, pause_, [&] { return ClientGone(client) || terminated(); })) return;
  client.Write("HTTP/1.0 200 Connection established\r\n\r\n");

  std::string early(buffer.Data());
  buffer.Consume(early.size());
  buffer.Release();
  Tunnel tunnel(client, run.Upstream(), view_, counters_, pause_, terminated, timing_.IdleLimitMs);
  if (tunnel.Run(std::move(early))) run.AnswerWhole();
}

ProxyHandler::Capture ProxyHandler::CaptureHeader(TIdTCPConnection& client,
                                                  http::RequestReader& reader,
                                                  RelayBuffer& buffer) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timing_.HeaderDeadlineMs);
  const auto left = [&] {
    return static_cast<std::int32_t>(std::max<std::int64_t>(
        0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  // A client that has said nothing by the deadline is not worth an answer.
  if (WaitReadable(client.Socket(), left()) != Readiness::Readable) return Capture::GiveUp;
  for (;;) {
    if (ReceiveInto(client, buffer, kMaxBodyHeldBytes) == 0) return Capture::Ended;
    buffer.Consume(reader.Append(buffer.Data()));
    if (reader.Size() > http::kMaxRequestHeaderBytes) return Capture::TooLarge;
    if (reader.Complete() || reader.Malformed()) return Capture::Ended;
    // However it trickles in, a header block has until the deadline; a pause inside it is no end
    // of the request, since real clients hold back a small second write for tens of milliseconds.
    if (left() == 0) return Capture::TimedOut;
    const Readiness wait =
        WaitReadable(client.Socket(), std::min(timing_.UnfinishedRequestWaitMs, left()));
    if (wait == Readiness::TimedOut) return Capture::TimedOut;
    if (wait == Readiness::Failed) return Capture::Ended;
  }
}

// Exactly the announced length goes upstream, as the client sent it, through a bounded buffer.
ProxyHandler::BodyEnd ProxyHandler::ForwardBody(TIdTCPConnection& client, CountedRun& run,
                                                std::int64_t& left, RelayBuffer& buffer,
                                                AnswerRelay& answer, HeldBody* kept) {
  const TIdStackSocketHandle origin = run.Upstream().Socket();
  Pacing upload(counters_.UploadLimit, Pacing::AtZero::Unpaced, pause_);
  for (;;) {
    const std::int64_t room = buffer.Size() == 0 ? left : upload.Room(left);
    if (room == 0) {
      upload.AwaitNextPeriod();
      continue;
    }
    const std::string_view body = FirstChars(buffer.Data(), room);
    std::size_t sent = 0;
    if (!body.empty()) {
      UpstreamWatch::Registration::Blocking blocking(run.Watched());
      sent = SendUnlessAnswered(run.Upstream(), body);
    }
    left -= static_cast<std::int64_t>(sent);
    upload.Spend(static_cast<std::int64_t>(sent));
    if (kept) kept->Append(body.substr(0, sent));
    buffer.Consume(sent);
    // The origin has something to say: an interim answer lets the body go on, a final one not.
    if (sent < body.size()) {
      if (!answer.RelayInterim()) return BodyEnd::Answered;
      continue;
    }
    if (left == 0) return BodyEnd::Sent;
    if (buffer.Size() > 0) continue;  // held back by the upload limit
    const auto ready = WaitEitherReadable(origin, client.Socket(), timing_.UnfinishedRequestWaitMs);
    if (ready == origin) {
      if (!answer.RelayInterim()) return BodyEnd::Answered;
      continue;
    }
    if (!ready) return BodyEnd::Stalled;
    if (ReceiveInto(client, buffer, std::min<std::int64_t>(left, kMaxBodyHeldBytes)) == 0)
      return BodyEnd::Sent;
  }
}

std::optional<http::Refusal> ProxyHandler::ReadChunkedBody(TIdTCPConnection& client,
                                                           RelayBuffer& buffer, HeldBody& body,
                                                           BodyBudget::Share& held) {
  http::ChunkedDecoder decoder(http::kMaxChunkedBodyBytes);
  std::string decoded;  // of one read; its room is kept for the next
  for (;;) {
    decoded.clear();
    buffer.Consume(decoder.Append(buffer.Data(), decoded));
    body.Append(decoded);
    // Checked once what a read brought is held, so a refused body overshoots by one read at most.
    // Extensions and trailers are dropped as they come, but count as held: what a body makes the
    // proxy read is bounded by the budget as what it makes it keep is.
    if (!held.Hold(body.Memory() + static_cast<std::int64_t>(decoder.Dropped())))
      return http::Refusal::BodyBudgetSpent;
    switch (decoder.Status()) {
      case http::ChunkedDecoder::State::Done:
        return std::nullopt;
      case http::ChunkedDecoder::State::Malformed:
        return http::Refusal::MalformedChunkedBody;
      case http::ChunkedDecoder::State::TooLarge:
        return http::Refusal::BodyTooLarge;
      case http::ChunkedDecoder::State::Reading:
        break;
    }
    if (WaitReadable(client.Socket(), timing_.UnfinishedRequestWaitMs) != Readiness::Readable)
      return http::Refusal::BodyTimedOut;
    if (ReceiveInto(client, buffer, kMaxBodyHeldBytes) == 0)
      return http::Refusal::ChunkedBodyCutShort;
  }
}

std::optional<ProxyHandler::Refused> ProxyHandler::Connect(TIdTCPConnection& client,
                                                           CountedRun& run,
                                                           const http::Request& request) {
  const std::string couldNot = "Tramlet could not connect to " + Origin(request) + ": ";
  std::optional<TimePoint> deadline;
  const auto failed = [&](const std::exception& error) {
    // Whatever ended the attempts once the deadline had passed, it was the deadline.
    if (deadline && std::chrono::steady_clock::now() >= *deadline)
      return Refused{http::Refusal::ConnectTimedOut, couldNot + "no address of " + request.Host +
                                                         " answered within " +
                                                         SecondsText(timing_.ConnectDeadlineMs)};
    return Refused{http::Refusal::ConnectFailed,
                   couldNot + Reason(error, http::Refusal::ConnectFailed)};
  };
  try {
    if (const std::optional<http::Refusal> refusal =
            ConnectUpstream(client, run, request, deadline))
      return Refused{*refusal};
  } catch (const EIdInvalidSocket& e) {
    if (OutOfDescriptors(e)) return Refused{http::Refusal::OutOfSockets};
    return failed(e);
  } catch (const EIdException& e) {
    return failed(e);
  }
  return std::nullopt;
}

// The host is resolved once and the run connects to exactly the addresses judged, whatever the
// name resolves to the next time.
std::optional<http::Refusal> ProxyHandler::ConnectUpstream(TIdTCPConnection& client,
                                                           CountedRun& run,
                                                           const http::Request& request,
                                                           std::optional<TimePoint>& deadline) {
  TIdStack& stack = *GlobalStack();
  std::vector<Destination> destinations =
      Resolve(stack, request.HostName, request.Port, [&run] { return run.Watched().GivenUp(); });
  // The proxy listens on every address, so the network it is on can reach it; that must not
  // reach the services this machine keeps to itself.
  if (!IsLoopbackPeer(stack, PeerAddressOf(client))) {
    std::erase_if(destinations, [](const Destination& d) { return d.Loopback || d.Unspecified; });
    if (destinations.empty()) return http::Refusal::LoopbackForbidden;
  }
  // Requests to ourselves would each take a thread and two sockets, as deep as they nest.
  auto* served = dynamic_cast<TIdTCPServerConnection*>(&client);
  if (served && served->Server() &&
      std::any_of(destinations.begin(), destinations.end(),
                  [&](const Destination& d) { return IsOwnListener(stack, *served->Server(), d); }))
    return http::Refusal::LoopDetected;

  deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timing_.ConnectDeadlineMs);
  if (destinations.size() == 1) {
    // One address needs no race: the run connects on its own thread, which spares a thread per
    // request, and the watch ends the connect once the client has gone or the deadline passed.
    TIdTCPClient& upstream = run.Upstream();
    upstream.SetIPVersion(destinations.front().IPVersion);
    upstream.SetHost(destinations.front().Address);
    upstream.SetPort(request.Port);
    UpstreamWatch::Registration::Blocking blocking(run.Watched(), *deadline);
    upstream.Connect(-1);
  } else {
    TIdIPAddresses addresses;
    addresses.reserve(destinations.size());
    for (const Destination& destination : destinations)
      addresses.push_back({destination.Address, destination.IPVersion});
    run.Adopt(ConnectFirst(
        addresses, request.Port, [&run] { return run.Watched().GivenUp(); }, kConnectStaggerMs,
        *deadline));
  }
  view_.AppendDownloadText("Connected to " + request.Host);
  return std::nullopt;
}

void ProxyHandler::Refuse(TIdTCPConnection& client, const Refused& refused) {
  ResetWhenClosed(client, false);  // the refusal is the whole answer
  const http::RefusalText& text = http::Describe(refused.Reason);
  view_.AppendDownloadText(refused.Text.empty()
                               ? std::string(text.Status) + ": " + std::string(text.Reason)
                               : refused.Text);
  SendAndClose(client, http::RefusalAnswer(refused.Reason, refused.Text));
}

void ProxyHandler::ChangeCount(std::int32_t delta) {
  std::lock_guard lock(counters_.CountShownMutex);
  const std::int32_t count = counters_.ConnectionCount.fetch_add(delta) + delta;
  view_.SetConnectionCaption(Format("Concurrent connections: %d", count));
}

}  // namespace proxy
