#include "proxy/RequestRun.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPConnection.h"
#include "net/IdTCPServerConnection.h"
#include "proxy/ConnectFirst.h"
#include "proxy/Destination.h"
#include "proxy/Readiness.h"
#include "proxy/Sockets.h"
#include "proxy/StringCuts.h"
#include "proxy/Tunnel.h"
#include "proxy/http/AnswerFraming.h"
#include "proxy/http/ChunkedCoding.h"
#include "rtl/Format.h"

namespace proxy {

// The codec keeps its own copies of its bounds; they are the table's.
static_assert(http::kMaxRequestHeaderBytes == kMaxRequestHeadBytes);
static_assert(http::kMaxChunkedBodyBytes == static_cast<std::uint64_t>(kMaxChunkedBodyBytes));
static_assert(http::AnswerFraming::kMaxHeadBytes == static_cast<std::size_t>(kMaxAnswerHeadBytes));
static_assert(http::ChunkedDecoder::kMaxLineBytes == static_cast<std::size_t>(kMaxChunkLineBytes));
static_assert(http::ChunkedDecoder::kMaxExtensionBytes ==
              static_cast<std::size_t>(kMaxChunkExtensionBytes));
static_assert(http::ChunkedDecoder::kMaxTrailerBytes ==
              static_cast<std::size_t>(kMaxChunkTrailerBytes));

namespace {

// A socket that could not be made for want of descriptors: the client hears 503, not silence.
bool OutOfDescriptors(const EIdInvalidSocket& error) {
  return error.ErrorCode() == winsock::WSAEMFILE || error.ErrorCode() == winsock::WSAENOBUFS;
}

// What a network error says went wrong, without the "Socket Error # n" heading or a last stop;
// the refusal's reason, when the error says nothing.
std::string WhatFailed(const std::exception& error, http::Refusal refusal) {
  std::string text = error.what();
  if (const std::size_t heading = text.find("\r\n"); heading != std::string::npos)
    text.erase(0, heading + 2);
  if (text.ends_with('.')) text.pop_back();
  return text.empty() ? std::string(http::Describe(refusal).Reason) : text;
}

// A deadline as the line a 504 carries gives it: "30 s", "1.5 s".
std::string SecondsText(std::chrono::milliseconds duration) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration);
  std::string text = std::to_string(whole.count());
  if (const auto rest = (duration - whole).count(); rest != 0) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    while (fraction.ends_with('0'))
      fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

}  // namespace

RequestRun::RequestRun(RunShared& shared, TIdTCPConnection& client,
                       const std::function<bool()>& terminated)
    : shared_(shared),
      limits_(shared.Limits),
      client_(client),
      terminated_(terminated),
      held_(shared.Bodies) {}

RequestRun::~RequestRun() {
  try {
    DropUpstream();
    if (counted_) ChangeCount(-1);
    LetBodyGo();
    if (client_.IsConnected()) client_.DropSocket();
  } catch (...) {
    // Closing never fails in a way anyone could act on; a destructor must not throw.
  }
}

void RequestRun::Serve() {
  if (!Judge()) return;
  if (request_.Tunnel) return OpenTunnel();
  Forward();
}

bool RequestRun::Judge() {
  http::RequestReader reader;
  std::optional<http::Refusal> refusal = CaptureHead(reader);
  answerAt_ = Deadline::In(std::chrono::milliseconds(std::max(shared_.Settings.DelayMs.load(), 0)));
  // A client that said nothing at all gets nothing back.
  if (!refusal && reader.Size() == 0) return false;
  if (!refusal && !reader.Complete()) {
    refusal = reader.Malformed() ? http::Refusal::MalformedHeaderBlock
                                 : http::Refusal::HeaderBlockCutShort;
  }
  if (!refusal) {
    request_ = http::JudgeRequest(reader);
    if (!request_.Refused) return true;
    refusal = request_.Refused;
  }
  Refused refused{*refusal};
  if (*refusal == http::Refusal::InvalidPort) {
    refused.Subject = request_.Host;
    refused.Detail = std::string(http::Describe(*refusal).Reason) + " '" + request_.PortText + "'";
  }
  Refuse(refused);
  return false;
}

// Reads the header block until it is complete, malformed or too large, the client stops sending,
// or the deadline; the refusal for the last two.
std::optional<http::Refusal> RequestRun::CaptureHead(http::RequestReader& reader) {
  const Deadline deadline = Deadline::In(limits_.HeaderDeadline);
  // A client that has said nothing by the deadline is not worth an answer.
  if (WaitReadable(client_.Socket(), deadline.Left()) != Readiness::Readable) return std::nullopt;
  for (;;) {
    if (ReceiveInto(client_, buffer_, kUpstreamBufferBytes) == 0) return std::nullopt;
    buffer_.Consume(reader.Append(buffer_.Data()));
    if (reader.Size() > kMaxRequestHeadBytes) return http::Refusal::HeaderTooLarge;
    if (reader.Complete() || reader.Malformed()) return std::nullopt;
    // However it trickles in, a header block has until the deadline; a pause inside it is no end
    // of the request, since real clients hold back a small second write for tens of milliseconds.
    if (deadline.Passed()) return http::Refusal::HeaderTimedOut;
    const Readiness wait =
        WaitReadable(client_.Socket(), std::min(limits_.RequestStall, deadline.Left()));
    if (wait == Readiness::TimedOut) return http::Refusal::HeaderTimedOut;
    if (wait == Readiness::Failed) return std::nullopt;
  }
}

// A body held whole: a chunked one, read whole before anything is connected so that a bad one
// costs the origin nothing, which goes on with the length it turned out to have; or a small one
// of known length, kept while it is sent so that the request can be asked again.
bool RequestRun::HoldBody() {
  unsent_ = request_.BodyKind == http::Request::Body::Length ? request_.Length : 0;
  keepBody_ = unsent_ > 0 && unsent_ <= kMaxKeptBodyBytes;
  if (request_.BodyKind == http::Request::Body::Chunked) {
    if (const std::optional<http::Refusal> refusal = ReadChunkedBody()) {
      Refuse({*refusal});
      return false;
    }
  } else if (keepBody_) {
    body_.Reserve(static_cast<std::size_t>(unsent_));
    if (!held_.Hold(body_.Memory())) {
      Refuse({http::Refusal::BodyBudgetSpent});
      return false;
    }
  }
  return true;
}

std::optional<http::Refusal> RequestRun::ReadChunkedBody() {
  http::ChunkedDecoder decoder(static_cast<std::uint64_t>(kMaxChunkedBodyBytes));
  std::string decoded;  // of one read; its room is kept for the next
  for (;;) {
    decoded.clear();
    buffer_.Consume(decoder.Append(buffer_.Data(), decoded));
    body_.Append(decoded);
    // Checked once what a read brought is held, so a refused body overshoots by one read at most.
    // Extensions and trailers are dropped as they come, but count as held: what a body makes the
    // proxy read is bounded by the budget as what it makes it keep is.
    if (!held_.Hold(body_.Memory() + static_cast<std::int64_t>(decoder.Dropped())))
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
    if (WaitReadable(client_.Socket(), limits_.RequestStall) != Readiness::Readable)
      return http::Refusal::BodyTimedOut;
    if (ReceiveInto(client_, buffer_, kUpstreamBufferBytes) == 0)
      return http::Refusal::ChunkedBodyCutShort;
  }
}

void RequestRun::Forward() {
  if (request_.ContinueExpected) client_.Write("HTTP/1.1 100 Continue\r\n\r\n");
  if (!HoldBody()) return;
  Begin();
  // At most twice: the second time in HTTP/1.1, which no origin refuses for its version.
  for (bool http11 = shared_.Refusers.Knows(request_.Host, request_.Port);; http11 = true) {
    if (const std::optional<Refused> refused = Connect()) return Refuse(*refused);
    if (!Attempt(http11)) return;
    shared_.Refusers.Remember(request_.Host, request_.Port);
    DropUpstream();
  }
}

// True when the origin refused HTTP/1.0 without acting on the request, to be asked again.
bool RequestRun::Attempt(bool http11) {
  Send(http11);
  AnswerRelay answer = AnswerRelayFor();
  if (unsent_ > 0 && ForwardBody(answer) == BodyEnd::Stalled) {
    Refuse({http::Refusal::BodyTimedOut});
    return false;
  }
  // What the client has yet to send of a body the origin answered early.
  unsent_ -= static_cast<std::int64_t>(std::min<std::size_t>(
      buffer_.Size(), static_cast<std::size_t>(std::max<std::int64_t>(unsent_, 0))));
  // Whatever came after the request (a pipelined one, say) is not ours to forward.
  buffer_.Consume(buffer_.Size());
  buffer_.Release();
  const bool retryable =
      !http11 && unsent_ == 0 && (request_.BodyKind != http::Request::Body::Length || keepBody_);
  answer.SetRetryable(retryable);
  if (retryable) {
    answer.OnFinalHead = [this] { LetBodyGo(); };  // an answer that is no refusal of HTTP/1.0
  } else {
    LetBodyGo();
  }
  if (Relay(answer)) return true;
  // Relayed as it came, the refusal still says how to ask this origin next time.
  if (!http11 && answer.RefusedHttp10()) shared_.Refusers.Remember(request_.Host, request_.Port);
  return false;
}

void RequestRun::OpenTunnel() {
  Begin();
  if (const std::optional<Refused> refused = Connect()) return Refuse(*refused);
  shared_.View.AppendUploadLine(request_.Line);
  Pacing download = PacingOf(Direction::ToClient);
  if (!download.DelayUntil(answerAt_, [this] { return ClientLeft(); })) return;
  client_.Write("HTTP/1.0 200 Connection established\r\n\r\n");

  std::string early(buffer_.Data());
  buffer_.Consume(early.size());
  buffer_.Release();
  Tunnel tunnel(client_, *upstream_, shared_.View, shared_.Counters, std::move(download),
                PacingOf(Direction::ToOrigin), terminated_, limits_.IdleLimit);
  if (tunnel.Run(std::move(early))) AnswerWhole();
}

// Connect errors become refusals here; deadline is set once the addresses are known and connecting
// begins.
std::optional<RequestRun::Refused> RequestRun::Connect() {
  std::optional<Deadline> deadline;
  try {
    if (const std::optional<http::Refusal> refusal = ConnectUpstream(deadline))
      return Refused{*refusal};
  } catch (const EIdInvalidSocket& e) {
    if (OutOfDescriptors(e)) return Refused{http::Refusal::OutOfSockets};
    return ConnectFailure(e, deadline);
  } catch (const EIdException& e) {
    return ConnectFailure(e, deadline);
  }
  return std::nullopt;
}

RequestRun::Refused RequestRun::ConnectFailure(const std::exception& error,
                                               std::optional<Deadline> deadline) const {
  // Whatever ended the attempts once the deadline had passed, it was the deadline.
  if (deadline && deadline->Passed()) {
    return {http::Refusal::ConnectTimedOut, Origin(),
            "no address of " + request_.Host + " answered within " +
                SecondsText(limits_.ConnectDeadline)};
  }
  return {http::Refusal::ConnectFailed, Origin(), WhatFailed(error, http::Refusal::ConnectFailed)};
}

// The host is resolved once and the run connects to exactly the addresses judged, whatever the
// name resolves to the next time.
std::optional<http::Refusal> RequestRun::ConnectUpstream(std::optional<Deadline>& deadline) {
  watched_ = std::make_unique<UpstreamWatch::Registration>(shared_.Watch, client_, terminated_);
  const auto givenUp = [this] { return watched_->GivenUp(); };
  TIdStack& stack = *GlobalStack();
  std::vector<Destination> destinations =
      Resolve(stack, request_.HostToResolve, request_.Port, givenUp);
  // The proxy listens on every address, so the network it is on can reach it; that must not
  // reach the services this machine keeps to itself.
  if (!IsLoopbackPeer(stack, PeerAddressOf(client_))) {
    std::erase_if(destinations, [](const Destination& d) { return d.Loopback || d.Unspecified; });
    if (destinations.empty()) return http::Refusal::LoopbackForbidden;
  }
  // Requests to ourselves would each take a thread and two sockets, as deep as they nest.
  auto* served = dynamic_cast<TIdTCPServerConnection*>(&client_);
  if (served && served->Server() &&
      std::any_of(destinations.begin(), destinations.end(),
                  [&](const Destination& d) { return IsOwnListener(stack, *served->Server(), d); }))
    return http::Refusal::LoopDetected;

  deadline = Deadline::In(limits_.ConnectDeadline);
  TIdIPAddresses addresses;
  for (const Destination& destination : destinations)
    addresses.push_back({destination.Address, destination.IPVersion});
  if (addresses.size() == 1) {
    // One address needs no race: the run connects on its own thread, which spares a thread per
    // request, and the watch ends the connect once the client has gone or the deadline passed.
    SetUpstream(NewUpstreamClient(addresses.front(), request_.Port));
    UpstreamWatch::Registration::Blocking blocking(*watched_, *deadline);
    upstream_->Connect(-1);
  } else {
    SetUpstream(ConnectFirst(addresses, request_.Port, givenUp, kConnectStagger, *deadline));
  }
  shared_.View.AppendDownloadText("Connected to " + request_.Host);
  return std::nullopt;
}

void RequestRun::SetUpstream(std::unique_ptr<TIdTCPClient> upstream) {
  upstream_ = std::move(upstream);
  watched_->SetUpstream(upstream_.get());
}

void RequestRun::DropUpstream() {
  watched_.reset();  // before the connection it watches goes
  if (upstream_ && upstream_->IsConnected()) upstream_->DropSocket();
  upstream_.reset();
}

// The header block, then a body held whole (a chunked body decoded, or one kept to ask again); a
// body of known length on its first way goes by itself (ForwardBody).
void RequestRun::Send(bool http11) {
  const std::string head = http::RequestHead(request_, http11, body_.Size());
  {
    UpstreamWatch::Registration::Blocking blocking(*watched_);
    upstream_->Write(head);
  }
  Pacing upload = PacingOf(Direction::ToOrigin);
  for (const std::string& piece : body_.Pieces()) {
    upload.SendPaced(piece, [this](std::string_view part) {
      // Each write on its own: a body the origin takes, however slowly, is no blocked call.
      UpstreamWatch::Registration::Blocking blocking(*watched_);
      upstream_->WriteBytes(part.data(), static_cast<std::int32_t>(part.size()));
      return static_cast<std::int64_t>(part.size());
    });
  }
  shared_.View.AppendUploadLine(head.substr(0, head.find("\r\n")));
}

// Exactly the announced length goes upstream, as the client sent it, through a bounded buffer,
// while the origin is silent or has sent only interim answers, which go to the client. It ends
// when all of it went (or the client closed early), the client stopped sending it, or the origin
// began its answer first.
RequestRun::BodyEnd RequestRun::ForwardBody(AnswerRelay& answer) {
  const TIdStackSocketHandle origin = upstream_->Socket();
  Pacing upload = PacingOf(Direction::ToOrigin);
  for (;;) {
    const std::int64_t room = buffer_.Size() == 0 ? unsent_ : upload.Room(unsent_);
    if (room == 0) {
      upload.AwaitNextPeriod();
      continue;
    }
    const std::string_view bytes = FirstChars(buffer_.Data(), room);
    std::size_t sent = 0;
    if (!bytes.empty()) {
      UpstreamWatch::Registration::Blocking blocking(*watched_);
      sent = SendUnlessAnswered(*upstream_, bytes);
    }
    unsent_ -= static_cast<std::int64_t>(sent);
    upload.Spend(static_cast<std::int64_t>(sent));
    if (keepBody_) body_.Append(bytes.substr(0, sent));
    buffer_.Consume(sent);
    // The origin has something to say: an interim answer lets the body go on, a final one not.
    if (sent < bytes.size()) {
      if (!answer.RelayInterim()) return BodyEnd::Answered;
      continue;
    }
    if (unsent_ == 0) return BodyEnd::Sent;
    if (buffer_.Size() > 0) continue;  // held back by the upload limit
    const auto ready = WaitEitherReadable(origin, client_.Socket(), limits_.RequestStall);
    if (ready == origin) {
      if (!answer.RelayInterim()) return BodyEnd::Answered;
      continue;
    }
    if (!ready) return BodyEnd::Stalled;
    if (ReceiveInto(client_, buffer_, std::min(unsent_, kUpstreamBufferBytes)) == 0)
      return BodyEnd::Sent;
  }
}

// Made before a body goes up, so that interim answers reach the client meanwhile.
AnswerRelay RequestRun::AnswerRelayFor() {
  // Bytes the client sends after its request are never forwarded; reading them is how a close
  // behind them is seen while the origin is silent.
  AnswerRelay relay(
      client_, *upstream_, shared_.View, shared_.Counters, PacingOf(Direction::ToClient),
      [this] { return ClientLeft(); }, limits_.AnswerHeadDeadline, request_.HeadOnly);
  relay.DelayFirstByteUntil(answerAt_);
  relay.SetContinueSent(request_.ContinueExpected);
  relay.SetIdleLimit(limits_.IdleLimit);
  return relay;
}

// True when the origin refused HTTP/1.0 and the request is to be asked again (only when the relay
// is retryable); otherwise the client has had its answer, a refusal or a reset.
bool RequestRun::Relay(AnswerRelay& relay) {
  try {
    const AnswerRelay::Outcome outcome = relay.Run();
    if (outcome == AnswerRelay::Outcome::RefusesHttp10) return true;
    // Whatever the client gets now is its answer: the body's share is back before it ends.
    LetBodyGo();
    switch (outcome) {
      case AnswerRelay::Outcome::Relayed:
        AnswerWhole();
        if (unsent_ > 0)
          Drain(client_.Socket(), std::min(unsent_, kMaxBodyDrainBytes), kBodyDrainQuiet);
        break;
      case AnswerRelay::Outcome::GaveUp:
        break;
      case AnswerRelay::Outcome::CutShort:
        ResetConnection(client_);
        break;
      default:
        Refuse(AnswerRefusal(outcome, relay.Problem()));
        break;
    }
  } catch (const EIdException& e) {
    LetBodyGo();
    // Only a failure before the answer began is the origin's to explain; once it has begun, a
    // reset tells the client that what it got is not all there was.
    if (relay.ClientOffered()) {
      ResetConnection(client_);
      throw;
    }
    Refuse({http::Refusal::NoAnswer, Origin(), WhatFailed(e, http::Refusal::NoAnswer)});
  }
  return false;
}

RequestRun::Refused RequestRun::AnswerRefusal(AnswerRelay::Outcome outcome,
                                              http::Refusal problem) const {
  switch (outcome) {
    case AnswerRelay::Outcome::HeadTimedOut:
      return {http::Refusal::AnswerHeadTimedOut,
              Origin() + " within " + std::to_string(limits_.AnswerHeadDeadline.count()) + " ms"};
    case AnswerRelay::Outcome::HeadTooLarge:
      return {
          http::Refusal::AnswerHeadTooLarge, Origin(),
          "its header block did not end within " + std::to_string(kMaxAnswerHeadBytes) + " bytes"};
    case AnswerRelay::Outcome::Invalid:
      return {problem, Origin(), std::string(http::Describe(problem).Reason)};
    default:
      return {http::Refusal::NoAnswer, Origin(), "the connection was closed"};
  }
}

Pacing RequestRun::PacingOf(Direction direction) const {
  if (direction == Direction::ToClient)
    return {shared_.Settings.SpeedLimit, Pacing::AtZero::Pauses, shared_.Pause};
  return {shared_.Settings.UploadLimit, Pacing::AtZero::Unpaced, shared_.Pause};
}

// Counted from now on; until AnswerWhole, the client's connection resets when it closes.
void RequestRun::Begin() {
  ChangeCount(+1);
  counted_ = true;
  ResetWhenClosed(client_, true);
}

void RequestRun::AnswerWhole() {
  ResetWhenClosed(client_, false);
}

// The body will not be asked again: its memory and its share of the budget go.
void RequestRun::LetBodyGo() {
  body_.Clear();
  held_.Release();
}

bool RequestRun::ClientLeft() {
  return ClientGone(client_) || terminated_();
}

// Answers the client with the refusal, shows it in the download pane and closes.
void RequestRun::Refuse(const Refused& refused) {
  LetBodyGo();
  ResetWhenClosed(client_, false);  // the refusal is the whole answer
  const std::string line = http::RefusalLine(refused.Reason, refused.Subject, refused.Detail);
  shared_.View.AppendDownloadText(http::PaneText(refused.Reason, line));
  AnswerAndClose(client_, http::RefusalAnswer(refused.Reason, line));
}

void RequestRun::ChangeCount(std::int32_t delta) {
  std::lock_guard lock(shared_.Counters.CountShownMutex);
  const std::int32_t count = shared_.Counters.ConnectionCount.fetch_add(delta) + delta;
  shared_.View.SetConnectionCaption(Format("Concurrent connections: %d", count));
}

// The origin as the request names it, for the lines that say what became of it.
std::string RequestRun::Origin() const {
  return request_.Host + ":" + request_.PortText;
}

}  // namespace proxy
