#include "proxy/ProxyHandler.h"

#include <algorithm>
#include <string_view>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPConnection.h"
#include "net/IdTCPServer.h"
#include "platform/WinSock2.h"
#include "proxy/MessageRewriting.h"
#include "proxy/RequestCapture.h"
#include "rtl/Format.h"
#include "rtl/Time.h"

namespace proxy {
namespace {

std::int32_t SelectReadable(TIdStackSocketHandle socket, std::int32_t seconds,
                            std::int32_t microseconds) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  winsock::timeval timeout{seconds, microseconds};
  std::int32_t result = winsock::select(0, &readSet, nullptr, nullptr, &timeout);
  return result > 0 ? 0 : result == 0 ? -2 : -1;
}

TIdStackSocketHandle SocketOf(const TIdTCPConnection& connection) {
  TIdIOHandlerSocket* handler = connection.SocketHandler();
  return handler && handler->SocketHandle() ? handler->SocketHandle()->OsSocket()
                                            : Id_INVALID_SOCKET;
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
  } catch (const EIdException&) {
    // The client has gone already; there is nobody left to tell.
  }
  if (client.IsConnected()) client.DropSocket();
}

bool IsConnectRequest(std::string_view line) {
  std::string trimmed = Trim(line);
  return trimmed.rfind("CONNECT ", 0) == 0;
}

// Whether the client has closed its end or been dropped. Bytes it sends after its request are
// never forwarded; reading them is how a close behind them is seen.
bool ClientGone(TIdTCPConnection& client) {
  if (!client.IsConnected()) return true;
  if (ProbeReadable(SocketOf(client), 0) != 0) return false;
  try {
    client.ReadAvailable();
  } catch (const EIdException&) {
    return true;
  }
  return !client.IsConnected();
}

}  // namespace

std::int32_t ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds) {
  return SelectReadable(socket, 0, microseconds);
}

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

void ProxyHandler::Run(TIdTCPConnection& client, const std::function<bool()>& terminated) {
  RequestCapture capture;
  Capture outcome = CaptureRequest(client, capture);
  LineList lines = capture.TakeLines();
  if (outcome == Capture::TooLarge) {
    Refuse(client, "HTTP/1.0 413 Request Entity Too Large");
    return;
  }
  if (outcome == Capture::GiveUp || lines.empty()) {
    if (client.IsConnected()) client.DropSocket();
    return;
  }
  if (lines.front().find("HTTP/") != std::string::npos && !HasAbsoluteTarget(lines.front())) {
    Refuse(client, IsConnectRequest(lines.front()) ? "HTTP/1.0 501 Not Implemented"
                                                   : "HTTP/1.0 400 Bad Request");
    return;
  }
  RequestTarget target = ParseRequestLine(lines.front());

  // From here on the run is counted, and every way out goes through the same clean-up.
  auto upstream = std::make_unique<TIdTCPClient>();
  ShowCount(counters_.ConnectionCount.fetch_add(1) + 1);
  struct CleanUp {
    ProxyHandler& handler;
    TIdTCPConnection& client;
    std::unique_ptr<TIdTCPClient>& upstream;
    LineList& lines;
    ~CleanUp() {
      try {
        if (upstream->IsConnected()) upstream->DropSocket();
        upstream.reset();
        handler.ShowCount(handler.counters_.ConnectionCount.fetch_sub(1) - 1);
        lines.clear();
        if (client.IsConnected()) client.DropSocket();
      } catch (...) {
        // Closing never fails in a way anyone could act on; a destructor must not throw.
      }
    }
  } cleanUp{*this, client, upstream, lines};

  upstream->SetHost(target.Host);
  upstream->SetPort(PortNumber(target.PortText));
  upstream->Connect(-1);
  if (upstream->IsConnected()) view_.AppendDownloadText("Connected to " + upstream->Host());

  std::string firstLine = DowngradeVersion(target.Line);
  upstream->WriteLine(Trim(firstLine));
  view_.AppendUploadLine(firstLine);
  for (std::size_t i = 1; i < lines.size(); ++i)
    upstream->WriteLine(CloseKeepAlive(lines[i]));

  Relay(client, *upstream, terminated);
}

ProxyHandler::Capture ProxyHandler::CaptureRequest(TIdTCPConnection& client,
                                                   RequestCapture& capture) {
  for (;;) {
    capture.Append(client.ReadAvailable());
    if (capture.Size() > kMaxRequestBytes || capture.ContentLength().value_or(0) > kMaxRequestBytes)
      return Capture::TooLarge;
    std::int32_t probe = ProbeReadable(SocketOf(client), 1000);
    if (probe == 0) continue;
    if (probe == -1 || capture.Complete() || capture.Lines().empty()) return Capture::Forward;
    // A pause inside the header block or the announced body is no end of the request: real
    // clients hold back a small second write for tens of milliseconds.
    std::int32_t more = SelectReadable(SocketOf(client), kUnfinishedRequestWaitMs / 1000,
                                       (kUnfinishedRequestWaitMs % 1000) * 1000);
    if (more != 0) return Capture::GiveUp;
  }
}

void ProxyHandler::Relay(TIdTCPConnection& client, TIdTCPClient& upstream,
                         const std::function<bool()>& terminated) {
  do {
    if (!AwaitUpstream(client, upstream, terminated)) return;
    std::string chunk = ReadChunk(upstream);
    if (!chunk.empty()) {
      chunk = RewriteResponseChunk(chunk);
      if (chunk.find("\r\n") != std::string::npos) view_.AppendDownloadText(chunk);
      if (!SendInSlices(client, chunk, terminated)) return;
    }
  } while (client.IsConnected() && upstream.IsConnected() && !terminated());
}

// Waits for the origin server's next data or close, but gives up when the client has gone or
// the thread is told to end, so a silent server cannot hold a run after its browser left.
bool ProxyHandler::AwaitUpstream(TIdTCPConnection& client, TIdTCPClient& upstream,
                                 const std::function<bool()>& terminated) {
  while (SelectReadable(SocketOf(upstream), kSlicePauseMs / 1000, 0) == -2) {
    if (ClientGone(client) || terminated()) return false;
  }
  return true;
}

// One receive, as the pacing was first designed; above 32 KB/s a single receive per second
// could not keep up, so a pass then also takes what else is ready, up to one slice.
std::string ProxyHandler::ReadChunk(TIdTCPClient& upstream) {
  std::int64_t want = std::clamp<std::int64_t>(SliceSize(counters_.SpeedLimit.load()),
                                               kMinChunkBytes, kMaxChunkBytes);
  upstream.SetRecvBufferSize(static_cast<std::int32_t>(want));
  std::string chunk = upstream.ReadAvailable();
  while (want > kMinChunkBytes && static_cast<std::int64_t>(chunk.size()) < want &&
         upstream.IsConnected() && ProbeReadable(SocketOf(upstream), 0) == 0) {
    upstream.SetRecvBufferSize(static_cast<std::int32_t>(want - chunk.size()));
    chunk += upstream.ReadAvailable();
  }
  return chunk;
}

// Returns false when the run should end because the client went away during a pause with a
// limit of 0 or less (a positive limit finds out at its next write).
bool ProxyHandler::SendInSlices(TIdTCPConnection& client, const std::string& chunk,
                                const std::function<bool()>& terminated) {
  std::string_view rest = chunk;
  while (!rest.empty()) {
    std::int64_t sliceSize = SliceSize(counters_.SpeedLimit.load());
    std::string_view slice = FirstChars(rest, sliceSize);
    if (!slice.empty()) client.WriteBytes(slice.data(), static_cast<std::int32_t>(slice.size()));
    rest.remove_prefix(slice.size());
    view_.SetStatusCaption(Format("Speed limit in action %u", rtl::GetTickCount()));
    pause_(kSlicePauseMs);
    if (sliceSize <= 0 && (ClientGone(client) || terminated())) return false;
  }
  return true;
}

void ProxyHandler::ShowCount(std::int32_t count) {
  view_.SetConnectionCaption(Format("Concurrent connections: %d", count));
}

}  // namespace proxy
