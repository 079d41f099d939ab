#include "net/IdServerIOHandlerSocket.h"

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdThread.h"

namespace {

// The client gave up between arriving and being taken; the listener has nothing to answer for.
bool ClientWentEarly(const EIdSocketError& error) {
  return error.ErrorCode() == winsock::WSAECONNABORTED ||
         error.ErrorCode() == winsock::WSAECONNRESET;
}

}  // namespace

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::Accept(TIdStackSocketHandle ASocket,
                                                               TIdThread* AThread) {
  auto handler = std::make_unique<TIdIOHandlerSocket>();
  handler->Open();
  TIdSocketHandle& handle = *handler->SocketHandle();
  for (;;) {
    if (AThread) {
      if (AThread->IsStopped()) return nullptr;
      if (!TIdSocketHandle::SocketReadable(ASocket, PollSliceMs)) continue;
    }
    try {
      if (!handle.AcceptFrom(ASocket)) return nullptr;
      return handler;
    } catch (const EIdSocketError& e) {
      if (!ClientWentEarly(e)) throw;
      handle.ClearState(true);
    }
  }
}
