#include "proxy/Readiness.h"

#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPConnection.h"
#include "platform/WinSock2.h"

namespace proxy {
namespace {

winsock::timeval Timeout(std::int32_t milliseconds) {
  return {milliseconds / 1000, (milliseconds % 1000) * 1000};
}

Readiness SelectReadable(TIdStackSocketHandle socket, winsock::timeval timeout) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  std::int32_t result = winsock::select(0, &readSet, nullptr, nullptr, &timeout);
  if (result > 0) return Readiness::Readable;
  return result == 0 ? Readiness::TimedOut : Readiness::Failed;
}

}  // namespace

Readiness ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds) {
  return SelectReadable(socket, {0, microseconds});
}

Readiness WaitReadable(TIdStackSocketHandle socket, std::int32_t milliseconds) {
  return SelectReadable(socket, Timeout(milliseconds));
}

std::optional<TIdStackSocketHandle> WaitEitherReadable(TIdStackSocketHandle first,
                                                       TIdStackSocketHandle second,
                                                       std::int32_t milliseconds) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(first, &readSet);
  winsock::FdSet(second, &readSet);
  winsock::timeval timeout = Timeout(milliseconds);
  if (winsock::select(0, &readSet, nullptr, nullptr, &timeout) <= 0) return std::nullopt;
  return winsock::FdIsSet(first, &readSet) ? first : second;
}

SendReadiness WaitSendable(TIdStackSocketHandle socket, std::int32_t milliseconds) {
  winsock::fd_set readSet;
  winsock::fd_set writeSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  winsock::FdZero(&writeSet);
  winsock::FdSet(socket, &writeSet);
  winsock::timeval timeout = Timeout(milliseconds);
  const std::int32_t result = winsock::select(0, &readSet, &writeSet, nullptr, &timeout);
  if (result < 0) return SendReadiness::Failed;
  if (result == 0) return SendReadiness::TimedOut;
  return winsock::FdIsSet(socket, &readSet) ? SendReadiness::Readable : SendReadiness::Writable;
}

PeerState PeekPeer(TIdStackSocketHandle socket) {
  if (socket == Id_INVALID_SOCKET) return PeerState::Reset;
  if (ProbeReadable(socket, 0) != Readiness::Readable) return PeerState::Open;
  int error = 0;
  int length = sizeof error;
  if (winsock::getsockopt(socket, winsock::SOL_SOCKET, winsock::SO_ERROR,
                          reinterpret_cast<char*>(&error), &length) != 0 ||
      error != 0)
    return PeerState::Reset;
  char byte;
  const int n = winsock::recv(socket, &byte, 1, winsock::MSG_PEEK);
  if (n > 0) return PeerState::Open;
  return n == 0 ? PeerState::HalfClosed : PeerState::Reset;
}

bool ClientGone(TIdTCPConnection& client) {
  if (!client.IsConnected()) return true;
  const TIdStackSocketHandle socket = client.Socket();
  TIdStack* stack = GlobalStack();
  char discarded[1024];
  // Bounded, so a client that keeps sending cannot hold the run here.
  for (int reads = 0; reads < 64 && ProbeReadable(socket, 0) == Readiness::Readable; ++reads) {
    const std::int32_t n = stack->SockReceive(socket, discarded, sizeof discarded, 0);
    if (n == 0) return false;  // finished sending, still listening
    if (n < 0) return true;
  }
  return false;
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
