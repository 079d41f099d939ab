#include "proxy/ProxyHandler.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPConnection.h"
#include "net/IdTCPServer.h"
#include "proxy/MessageRewriting.h"
#include "proxy/RelayBuffer.h"
#include "proxy/RequestCapture.h"
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

// A short answer for a request we do not forward; the connection is closed after it.
void Refuse(TIdTCPConnection& client, std::string_view status) {
  try {
    client.Write(std::string(status) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    // Closing with request bytes still unread would reset the connection, and the client could
    // lose the answer with it: read on (a bounded amount) until the client falls silent.
    char discarded[4096];
    for (int reads = 0; reads < 256 && ProbeReadable(SocketOf(client), 1000) == 0; ++reads) {
      if (client.ReadAvailableInto(discarded, sizeof discarded) == 0) break;
    }
  } catch (const EIdException&) {
    // The client has gone already; there is nobody left to tell.
  }
  if (client.IsConnected()) client.DropSocket();
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

// The header block as it goes upstream: the rebuilt first line downgraded and trimmed, every
// later line with "keep-alive" closed, each ended by CR LF.
std::string ForwardedHeader(const std::string& firstLine, const LineList& lines) {
  std::string header = Trim(firstLine) + "\r\n";
  for (std::size_t i = 1; i < lines.size(); ++i)
    header.append(CloseKeepAlive(lines[i])).append("\r\n");
  return header;
}

}  // namespace

ProxyHandler::ProxyHandler(ProxyView& view, ProxyCounters& counters, PauseFunction pause)
    : view_(view), counters_(counters), pause_(std::move(pause)) {
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
  CountedRun(ProxyHandler& handler, TIdTCPConnection& client)
      : handler_(handler), client_(client), upstream_(std::make_unique<TIdTCPClient>()) {
    handler_.ShowCount(handler_.counters_.ConnectionCount.fetch_add(1) + 1);
  }
  ~CountedRun() {
    try {
      if (upstream_->IsConnected()) upstream_->DropSocket();
      upstream_.reset();
      handler_.ShowCount(handler_.counters_.ConnectionCount.fetch_sub(1) - 1);
      if (client_.IsConnected()) client_.DropSocket();
    } catch (...) {
      // Closing never fails in a way anyone could act on; a destructor must not throw.
    }
  }
  CountedRun(const CountedRun&) = delete;
  CountedRun& operator=(const CountedRun&) = delete;

  TIdTCPClient& Upstream() { return *upstream_; }

 private:
  ProxyHandler& handler_;
  TIdTCPConnection& client_;
  std::unique_ptr<TIdTCPClient> upstream_;
};

void ProxyHandler::Run(TIdTCPConnection& client, const std::function<bool()>& terminated) {
  RequestCapture capture;
  RelayBuffer buffer(kMaxBodyHeldBytes);
  const Capture outcome = CaptureHeader(client, capture, buffer);
  if (outcome == Capture::TooLarge) {
    Refuse(client, "HTTP/1.0 431 Request Header Fields Too Large");
    return;
  }
  const LineList& lines = capture.Lines();
  if (outcome == Capture::GiveUp || lines.empty()) {
    if (client.IsConnected()) client.DropSocket();
    return;
  }
  if (IsConnectLine(lines.front())) {
    OpenTunnel(client, capture, buffer, terminated);
  } else if (lines.front().find("HTTP/") != std::string::npos &&
             !HasAbsoluteTarget(lines.front())) {
    Refuse(client, "HTTP/1.0 400 Bad Request");
  } else {
    Forward(client, capture, buffer, terminated);
  }
}

void ProxyHandler::Forward(TIdTCPConnection& client, RequestCapture& capture, RelayBuffer& buffer,
                           const std::function<bool()>& terminated) {
  const LineList& lines = capture.Lines();
  RequestTarget target = ParseRequestLine(lines.front());
  CountedRun run(*this, client);
  TIdTCPClient& upstream = run.Upstream();
  upstream.SetHost(target.Host);
  upstream.SetPort(PortNumber(target.PortText));
  try {
    upstream.Connect(-1);
  } catch (const EIdInvalidSocket& e) {
    if (!OutOfDescriptors(e)) throw;
    Refuse(client, "HTTP/1.0 503 Service Unavailable");
    return;
  }
  if (upstream.IsConnected()) view_.AppendDownloadText("Connected to " + upstream.Host());

  const std::string firstLine = DowngradeVersion(target.Line);
  upstream.Write(ForwardedHeader(firstLine, lines));
  view_.AppendUploadLine(firstLine);
  if (!ForwardBody(client, upstream, capture, buffer)) return;
  buffer.Release();

  // Bytes the client sends after its request are never forwarded; reading them is how a close
  // behind them is seen while the origin is silent.
  const std::function<bool()> giveUp = [&] { return ClientGone(client) || terminated(); };
  PacedRelay(client, upstream, view_, counters_, pause_, giveUp, PacedRelay::Content::Answer).Run();
}

void ProxyHandler::OpenTunnel(TIdTCPConnection& client, const RequestCapture& capture,
                              RelayBuffer& buffer, const std::function<bool()>& terminated) {
  const std::string& requestLine = capture.Lines().front();
  const std::optional<TunnelTarget> target = ParseConnectLine(requestLine);
  if (!target || !capture.HeaderComplete()) {
    Refuse(client, "HTTP/1.0 400 Bad Request");
    return;
  }
  CountedRun run(*this, client);
  TIdTCPClient& upstream = run.Upstream();
  upstream.SetHost(target->Host);
  upstream.SetPort(target->Port);
  try {
    upstream.Connect(-1);
  } catch (const EIdException& e) {
    auto* socketless = dynamic_cast<const EIdInvalidSocket*>(&e);
    Refuse(client, socketless && OutOfDescriptors(*socketless) ? "HTTP/1.0 503 Service Unavailable"
                                                               : "HTTP/1.0 502 Bad Gateway");
    return;
  }
  if (upstream.IsConnected()) view_.AppendDownloadText("Connected to " + upstream.Host());
  view_.AppendUploadLine(DowngradeVersion(requestLine));
  client.Write("HTTP/1.0 200 Connection established\r\n\r\n");

  std::string early(buffer.Data());
  buffer.Consume(early.size());
  buffer.Release();
  Tunnel(client, upstream, view_, counters_, pause_, terminated)
      .Run(std::move(early), capture.AwaitsLf());
}

ProxyHandler::Capture ProxyHandler::CaptureHeader(TIdTCPConnection& client, RequestCapture& capture,
                                                  RelayBuffer& buffer) {
  for (;;) {
    // The first read waits for the client's first bytes for as long as that takes.
    if (ReceiveInto(client, buffer, kMaxBodyHeldBytes) == 0) {
      capture.Finish();
      return Capture::Forward;
    }
    buffer.Consume(capture.Append(buffer.Data()));
    if (capture.Size() > kMaxHeaderBytes) return Capture::TooLarge;
    if (capture.HeaderComplete() || capture.Cut()) return Capture::Forward;
    const std::int32_t probe = ProbeReadable(SocketOf(client), 1000);
    if (probe == 0) continue;
    if (probe == -1) {
      capture.Finish();
      return Capture::Forward;
    }
    // A pause inside the header block is no end of the request: real clients hold back a small
    // second write for tens of milliseconds.
    if (WaitReadable(SocketOf(client), kUnfinishedRequestWaitMs) != 0) return Capture::GiveUp;
  }
}

// Every byte after the header block goes upstream exactly as the client sent it, through a
// bounded buffer: up to the announced length, or without one, until the client falls silent.
bool ProxyHandler::ForwardBody(TIdTCPConnection& client, TIdTCPClient& upstream,
                               RequestCapture& capture, RelayBuffer& buffer) {
  if (!capture.HeaderComplete()) return true;  // cut by a NUL or by the client's close
  const std::optional<std::int64_t> length = capture.ContentLength();
  std::int64_t forwarded = 0;
  for (;;) {
    // The LF of a CR LF that ended the header block may come first, in a read of its own.
    buffer.Consume(capture.Append(buffer.Data()));
    if (!buffer.Empty()) {
      const std::string_view body = buffer.Data();
      upstream.WriteBytes(body.data(), static_cast<std::int32_t>(body.size()));
      forwarded += static_cast<std::int64_t>(body.size());
      buffer.Consume(body.size());
    }
    if (length && forwarded >= *length) return true;
    if (length) {
      if (WaitReadable(SocketOf(client), kUnfinishedRequestWaitMs) != 0) return false;
    } else if (ProbeReadable(SocketOf(client), 1000) != 0) {
      return true;
    }
    const std::int64_t wanted = length ? *length - forwarded : std::int64_t{kMaxBodyHeldBytes};
    if (ReceiveInto(client, buffer, std::min<std::int64_t>(wanted, kMaxBodyHeldBytes)) == 0)
      return true;
  }
}

void ProxyHandler::ShowCount(std::int32_t count) {
  view_.SetConnectionCaption(Format("Concurrent connections: %d", count));
}

}  // namespace proxy
