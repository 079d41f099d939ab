#include "proxy/Readiness.h"

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPConnection.h"
#include "platform/WinSock2.h"

namespace proxy {
namespace {

Readiness SelectReadable(TIdStackSocketHandle socket, std::int32_t seconds,
                         std::int32_t microseconds) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  winsock::timeval timeout{seconds, microseconds};
  std::int32_t result = winsock::select(0, &readSet, nullptr, nullptr, &timeout);
  if (result > 0) return Readiness::Readable;
  return result == 0 ? Readiness::TimedOut : Readiness::Failed;
}

}  // namespace

Readiness ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds) {
  return SelectReadable(socket, 0, microseconds);
}

Readiness WaitReadable(TIdStackSocketHandle socket, std::int32_t milliseconds) {
  return SelectReadable(socket, milliseconds / 1000, (milliseconds % 1000) * 1000);
}

bool ClientGone(TIdTCPConnection& client) {
  if (!client.IsConnected()) return true;
  char discarded[1024];
  // Bounded, so a client that keeps sending cannot hold the run here.
  for (int reads = 0; reads < 64 && ProbeReadable(client.Socket(), 0) == Readiness::Readable;
       ++reads) {
    try {
      if (client.ReadAvailableInto(discarded, sizeof discarded) == 0) break;
    } catch (const EIdException&) {
      return true;
    }
  }
  return !client.IsConnected();
}

}  // namespace proxy
