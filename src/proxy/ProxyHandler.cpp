#include "proxy/ProxyHandler.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPConnection.h"
#include "net/IdTCPServer.h"
#include "net/IdTCPServerConnection.h"
#include "proxy/ChunkedBody.h"
#include "proxy/Destination.h"
#include "proxy/MessageRewriting.h"
#include "proxy/RelayBuffer.h"
#include "proxy/RequestCapture.h"
#include "proxy/RequestHead.h"
#include "proxy/Tunnel.h"
#include "rtl/Format.h"
#include "rtl/Time.h"

namespace proxy {
namespace {

// A socket that could not be made for want of descriptors: the client hears 503, not silence.
bool OutOfDescriptors(const EIdInvalidSocket& error) {
  return error.ErrorCode() == winsock::WSAEMFILE || error.ErrorCode() == winsock::WSAENOBUFS;
}

// The port of the request target; anything but 1 to 65535 fails like text that is no number,
// so no port can wrap around to another in the 16-bit address field.
std::int32_t PortNumber(const std::string& portText) {
  std::int32_t port = StrToInt(portText);
  if (port < 1 || port > 65535)
    throw EConvertError(Format("'%s' is not a valid port number", portText));
  return port;
}

// A short answer for a request we do not forward, with a line of text saying why when there is
// one; the connection is closed after it.
void Refuse(TIdTCPConnection& client, std::string_view status, const std::string& text = {}) {
  try {
    const std::string body = text.empty() ? text : text + "\r\n";
    client.Write(std::string(status) + (body.empty() ? "" : "\r\nContent-Type: text/plain") +
                 "\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body);
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

// What a network error says went wrong, without the "Socket Error # n" heading or a last stop.
std::string Reason(const std::exception& error) {
  std::string text = error.what();
  if (const std::size_t heading = text.find("\r\n"); heading != std::string::npos)
    text.erase(0, heading + 2);
  if (text.ends_with('.')) text.pop_back();
  return text;
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
      watch_(timing.WatchPeriodMs, timing.AnswerHeadDeadlineMs) {
  if (!pause_) pause_ = [](std::int32_t ms) { rtl::Sleep(ms); };
}

void ProxyHandler::ServeOn(TIdTCPServer& server) {
  server.OnExecute = [this](TIdPeerThread* AThread) { Execute(AThread); };
}

void ProxyHandler::Execute(TIdPeerThread* AThread) {
  Run(*AThread->Connection(), [AThread] { return AThread->Terminated(); });
}

// A run from the moment it has made its upstream client: counted, and on every way out the
// same clean-up - both connections closed, the count lowered.
class ProxyHandler::CountedRun {
 public:
  CountedRun(ProxyHandler& handler, TIdTCPConnection& client,
             const std::function<bool()>& terminated)
      : handler_(handler),
        client_(client),
        upstream_(std::make_unique<TIdTCPClient>()),
        watched_(Watch(handler.watch_, client, *upstream_, terminated)) {
    handler_.ChangeCount(+1);
  }
  ~CountedRun() {
    try {
      watched_.reset();  // before the connections it watches go
      if (upstream_->IsConnected()) upstream_->DropSocket();
      upstream_.reset();
      handler_.ChangeCount(-1);
      if (client_.IsConnected()) client_.DropSocket();
    } catch (...) {
      // Closing never fails in a way anyone could act on; a destructor must not throw.
    }
  }
  CountedRun(const CountedRun&) = delete;
  CountedRun& operator=(const CountedRun&) = delete;

  TIdTCPClient& Upstream() { return *upstream_; }
  // For marking the calls that block on the origin, which the watch may end.
  UpstreamWatch::Registration& Watched() { return *watched_; }

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
  std::unique_ptr<TIdTCPClient> upstream_;
  std::unique_ptr<UpstreamWatch::Registration> watched_;
};

void ProxyHandler::Run(TIdTCPConnection& client, const std::function<bool()>& terminated) {
  RequestCapture capture;
  RelayBuffer buffer(kMaxBodyHeldBytes);
  const Capture outcome = CaptureHeader(client, capture, buffer);
  if (outcome == Capture::TooLarge) {
    Refuse(client, "HTTP/1.0 431 Request Header Fields Too Large");
    return;
  }
  if (outcome == Capture::TimedOut) {
    Refuse(client, "HTTP/1.0 408 Request Timeout");
    return;
  }
  // A client that said nothing at all gets nothing back.
  if (outcome == Capture::GiveUp || capture.Size() == 0) {
    if (client.IsConnected()) client.DropSocket();
    return;
  }
  const LineList& lines = capture.Lines();
  if (!capture.HeaderComplete()) {
    Refuse(client, "HTTP/1.0 400 Bad Request");
  } else if (IsConnectLine(lines.front())) {
    OpenTunnel(client, capture, buffer, terminated);
  } else {
    Forward(client, capture, buffer, terminated);
  }
}

void ProxyHandler::Forward(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer,
                           const std::function<bool()>& terminated) {
  RequestHead head = JudgeRequest(capture.Lines());
  if (!head.Refusal.empty()) {
    Refuse(client, head.Refusal);
    return;
  }
  // A chunked body is read whole before anything is connected, so a bad one costs the origin
  // nothing; it goes on with the length it turned out to have.
  ChunkedBody chunked;
  if (head.BodyKind == RequestHead::Body::Chunked) {
    if (const auto refusal = ReadChunkedBody(client, buffer, chunked)) {
      Refuse(client, *refusal);
      return;
    }
    head.Fields.append("Content-Length: " + std::to_string(chunked.Data().size()) + "\r\n");
  }

  CountedRun run(*this, client, terminated);
  TIdTCPClient& upstream = run.Upstream();
  const std::string origin = head.Host + ":" + head.PortText;
  const auto cannotConnect = [&](const std::string& why) {
    BadGateway(client, "Tramlet could not connect to " + origin + ": " + why);
  };
  if (head.Host.starts_with('[')) return cannotConnect("IPv6 is not supported");
  std::int32_t port = 0;
  try {
    port = PortNumber(head.PortText);
  } catch (const EConvertError&) {
    BadGateway(client, "Tramlet could not connect to " + head.Host + ": invalid port '" +
                           head.PortText + "'");
    return;
  }
  try {
    if (const auto refusal = ConnectUpstream(client, run, head.Host, port)) {
      Refuse(client, *refusal);
      return;
    }
  } catch (const EIdInvalidSocket& e) {
    if (!OutOfDescriptors(e)) return cannotConnect(Reason(e));
    Refuse(client, "HTTP/1.0 503 Service Unavailable");
    return;
  } catch (const EIdException& e) {
    return cannotConnect(Reason(e));
  }

  {
    UpstreamWatch::Registration::Blocking blocking(run.Watched());
    upstream.Write(head.Line + "\r\n" + head.Fields + "\r\n");
    const std::string& body = chunked.Data();
    if (!body.empty()) upstream.WriteBytes(body.data(), static_cast<std::int32_t>(body.size()));
  }
  view_.AppendUploadLine(head.Line);
  std::int64_t unsent = head.BodyKind == RequestHead::Body::Length ? head.Length : 0;
  if (unsent > 0 && ForwardBody(client, run, unsent, buffer) == BodyEnd::Stalled) {
    Refuse(client, "HTTP/1.0 408 Request Timeout");
    return;
  }
  // What the client has yet to send of a body the origin answered early.
  unsent -= static_cast<std::int64_t>(std::min<std::size_t>(
      buffer.Size(), static_cast<std::size_t>(std::max<std::int64_t>(unsent, 0))));
  // Whatever came after the request (a pipelined one, say) is not ours to forward.
  buffer.Consume(buffer.Size());
  buffer.Release();

  // Bytes the client sends after its request are never forwarded; reading them is how a close
  // behind them is seen while the origin is silent.
  PacedRelay relay(
      client, upstream, view_, counters_, pause_,
      [&] { return ClientGone(client) || terminated(); }, PacedRelay::Content::Answer);
  relay.SetHeadDeadline(timing_.AnswerHeadDeadlineMs);
  relay.SetHeadRequest(head.Line.starts_with("HEAD "));
  const std::string noAnswer = "Tramlet got no answer from " + origin;
  try {
    switch (relay.Run()) {
      case PacedRelay::Outcome::Relayed:
        if (unsent > 0) DiscardIncoming(client, std::min(unsent, kMaxDiscardedBytes));
        return;
      case PacedRelay::Outcome::Truncated:
        return ResetConnection(client);
      case PacedRelay::Outcome::NoAnswer:
        return BadGateway(client, noAnswer + ": the connection was closed");
      case PacedRelay::Outcome::HeadTimedOut:
        return BadGateway(
            client, noAnswer + " within " + std::to_string(timing_.AnswerHeadDeadlineMs) + " ms",
            "HTTP/1.0 504 Gateway Timeout");
      case PacedRelay::Outcome::HeadTooLarge:
        return BadGateway(client, noAnswer + ": its header block did not end within " +
                                      std::to_string(AnswerHead::kMaxBytes) + " bytes");
    }
  } catch (const EIdException& e) {
    // Only a failure before the answer began is the origin's to explain; once it has begun, a
    // reset tells the client that what it got is not all there was.
    if (relay.ClientOffered()) {
      ResetConnection(client);
      throw;
    }
    BadGateway(client, noAnswer + ": " + Reason(e));
  }
}

void ProxyHandler::OpenTunnel(TIdTCPConnection& client, const RequestCapture& capture,
                              RelayBuffer& buffer, const std::function<bool()>& terminated) {
  const std::string& requestLine = capture.Lines().front();
  const std::optional<TunnelTarget> target = ParseConnectLine(requestLine);
  if (!target || !FieldLinesWellFormed(capture.Lines())) {
    Refuse(client, "HTTP/1.0 400 Bad Request");
    return;
  }
  CountedRun run(*this, client, terminated);
  TIdTCPClient& upstream = run.Upstream();
  try {
    if (const auto refusal = ConnectUpstream(client, run, target->Host, target->Port)) {
      Refuse(client, *refusal);
      return;
    }
  } catch (const EIdException& e) {
    auto* socketless = dynamic_cast<const EIdInvalidSocket*>(&e);
    if (socketless && OutOfDescriptors(*socketless)) {
      Refuse(client, "HTTP/1.0 503 Service Unavailable");
    } else {
      BadGateway(client, "Tramlet could not connect to " + target->Host + ":" +
                             std::to_string(target->Port) + ": " + Reason(e));
    }
    return;
  }
  // The line as an HTTP/1.0 request would carry it; it ends in the version (ParseConnectLine).
  std::string shown = Trim(requestLine);
  shown.replace(shown.size() - 8, 8, "HTTP/1.0");
  view_.AppendUploadLine(shown);
  client.Write("HTTP/1.0 200 Connection established\r\n\r\n");

  std::string early(buffer.Data());
  buffer.Consume(early.size());
  buffer.Release();
  Tunnel(client, upstream, view_, counters_, pause_, terminated).Run(std::move(early));
}

ProxyHandler::Capture ProxyHandler::CaptureHeader(TIdTCPConnection& client, RequestCapture& capture,
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
    buffer.Consume(capture.Append(buffer.Data()));
    if (capture.Size() > kMaxHeaderBytes) return Capture::TooLarge;
    if (capture.HeaderComplete() || capture.Malformed()) return Capture::Ended;
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
                                                std::int64_t& left, RelayBuffer& buffer) {
  const TIdStackSocketHandle origin = run.Upstream().Socket();
  for (;;) {
    const std::string_view body = FirstChars(buffer.Data(), left);
    std::size_t sent = 0;
    if (!body.empty()) {
      UpstreamWatch::Registration::Blocking blocking(run.Watched());
      sent = SendUnlessAnswered(run.Upstream(), body);
    }
    left -= static_cast<std::int64_t>(sent);
    buffer.Consume(sent);
    if (sent < body.size()) return BodyEnd::Answered;
    if (left == 0) return BodyEnd::Sent;
    const auto ready = WaitEitherReadable(origin, client.Socket(), timing_.UnfinishedRequestWaitMs);
    if (ready == origin) return BodyEnd::Answered;
    if (!ready) return BodyEnd::Stalled;
    if (ReceiveInto(client, buffer, std::min<std::int64_t>(left, kMaxBodyHeldBytes)) == 0)
      return BodyEnd::Sent;
  }
}

std::optional<std::string_view> ProxyHandler::ReadChunkedBody(TIdTCPConnection& client,
                                                              RelayBuffer& buffer,
                                                              ChunkedBody& body) {
  for (;;) {
    buffer.Consume(body.Append(buffer.Data()));
    switch (body.Status()) {
      case ChunkedBody::State::Done:
        return std::nullopt;
      case ChunkedBody::State::Malformed:
        return "HTTP/1.0 400 Bad Request";
      case ChunkedBody::State::TooLarge:
        return "HTTP/1.0 413 Content Too Large";
      case ChunkedBody::State::Reading:
        break;
    }
    if (WaitReadable(client.Socket(), timing_.UnfinishedRequestWaitMs) != Readiness::Readable)
      return "HTTP/1.0 408 Request Timeout";
    // A body that ends with the connection is cut short.
    if (ReceiveInto(client, buffer, kMaxBodyHeldBytes) == 0) return "HTTP/1.0 400 Bad Request";
  }
}

// The host is resolved once and the run connects to exactly that address, so the address judged
// is the one reached, whatever the name resolves to the next time.
std::optional<std::string_view> ProxyHandler::ConnectUpstream(TIdTCPConnection& client,
                                                              CountedRun& run,
                                                              const std::string& host,
                                                              std::int32_t port) {
  TIdStack& stack = *GlobalStack();
  const Destination destination =
      Resolve(stack, host, port, [&run] { return run.Watched().GivenUp(); });
  // The proxy listens on every address, so the network it is on can reach it; that must not
  // reach the services this machine keeps to itself.
  if (IsLoopbackOrUnspecified(destination.Value) && !IsLoopbackPeer(stack, PeerAddressOf(client)))
    return "HTTP/1.0 403 Forbidden";
  // Requests to ourselves would each take a thread and two sockets, as deep as they nest.
  auto* served = dynamic_cast<TIdTCPServerConnection*>(&client);
  if (served && served->Server() && IsOwnListener(stack, *served->Server(), destination))
    return "HTTP/1.0 508 Loop Detected";

  TIdTCPClient& upstream = run.Upstream();
  upstream.SetHost(destination.Address);
  upstream.SetPort(port);
  {
    UpstreamWatch::Registration::Blocking blocking(run.Watched());
    upstream.Connect(-1);
  }
  if (upstream.IsConnected()) view_.AppendDownloadText("Connected to " + host);
  return std::nullopt;
}

void ProxyHandler::BadGateway(TIdTCPConnection& client, const std::string& text,
                              std::string_view status) {
  view_.AppendDownloadText(text);
  Refuse(client, status, text);
}

void ProxyHandler::ChangeCount(std::int32_t delta) {
  std::lock_guard lock(counters_.CountShownMutex);
  const std::int32_t count = counters_.ConnectionCount.fetch_add(delta) + delta;
  view_.SetConnectionCaption(Format("Concurrent connections: %d", count));
}

}  // namespace proxy
