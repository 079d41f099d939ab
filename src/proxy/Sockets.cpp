#include "proxy/Sockets.h"

#include <algorithm>
#include <limits>
#include <span>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPConnection.h"
#include "proxy/Limits.h"
#include "proxy/Readiness.h"
#include "proxy/RelayBuffer.h"

namespace proxy {

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

std::size_t SendUnlessAnswered(TIdTCPConnection& upstream, std::string_view bytes) {
  TIdStack* stack = GlobalStack();
  const TIdStackSocketHandle socket = upstream.Socket();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    switch (WaitSendable(socket, kSendRoomWait)) {
      case SendReadiness::Readable:
        return sent;
      case SendReadiness::TimedOut:
        continue;
      case SendReadiness::Failed:
        throw EIdNotConnected();
      case SendReadiness::Writable:
        break;
    }
    const auto piece = std::min(bytes.size() - sent, static_cast<std::size_t>(kSendPieceBytes));
    const std::int32_t n =
        stack->SockSend(socket, bytes.data() + sent, static_cast<std::int32_t>(piece), 0);
    if (n <= 0) {
      if (ReadableNow(socket)) return sent;
      stack->CheckSocketResult(Id_SOCKET_ERROR);
      throw EIdNotConnected();
    }
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

bool Drain(TIdStackSocketHandle socket, std::int64_t maxBytes, std::chrono::microseconds quiet) {
  TIdStack* stack = GlobalStack();
  char dropped[4096];
  for (std::int64_t taken = 0; taken < maxBytes;) {
    if (WaitReadable(socket, quiet) != Readiness::Readable) return true;
    const auto asked = static_cast<std::int32_t>(
        std::min<std::int64_t>(maxBytes - taken, static_cast<std::int64_t>(sizeof dropped)));
    const std::int32_t n = stack->SockReceive(socket, dropped, asked, 0);
    if (n <= 0) return n == 0;
    taken += n;
  }
  return true;
}

void AnswerAndClose(TIdTCPConnection& client, const std::string& answer) {
  try {
    client.Write(answer);
    // Closing with request bytes still unread would reset the connection, and the client could
    // lose the answer with it: read on (a bounded amount) until the client pauses.
    Drain(client.Socket(), kMaxRefusalDrainBytes, kRefusalDrainQuiet);
  } catch (const EIdException&) {
    // The client has gone already; there is nobody left to tell.
  }
  if (client.IsConnected()) client.DropSocket();
}

std::string PeerAddressOf(const TIdTCPConnection& client) {
  TIdIOHandlerSocket* handler = client.SocketHandler();
  return handler && handler->SocketHandle() ? handler->SocketHandle()->RemoteIP() : std::string();
}

bool ClientGone(TIdTCPConnection& client) {
  if (!client.IsConnected()) return true;
  // Bounded, so a client that keeps sending cannot hold the run here.
  return !Drain(client.Socket(), kMaxGoneCheckBytes, std::chrono::microseconds(0));
}

void ResetConnection(TIdTCPConnection& connection) {
  TIdIOHandlerSocket* handler = connection.SocketHandler();
  if (handler && handler->SocketHandle()) handler->SocketHandle()->Abort();
  connection.DropSocket();
}

void ResetWhenClosed(TIdTCPConnection& connection, bool reset) {
  TIdIOHandlerSocket* handler = connection.SocketHandler();
  if (handler && handler->SocketHandle()) handler->SocketHandle()->SetResetOnClose(reset);
}

}  // namespace proxy
