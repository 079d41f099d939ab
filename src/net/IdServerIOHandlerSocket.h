#pragma once

#include "net/IdServerIOHandler.h"

// Accepts each client into a new socket I/O handler of its own.
//
// With a thread given, the listening socket is polled in slices of 100 ms, so a stopped listener
// notices within one slice. A client that resets its connection before it is taken is not an
// error of the listening socket: the wait simply goes on with the next one.
class TIdServerIOHandlerSocket : public TIdServerIOHandler {
 public:
  using TIdServerIOHandler::TIdServerIOHandler;

  static constexpr std::int32_t PollSliceMs = 100;

  // None when the thread was stopped, or when the listening socket was closed or the accept
  // interrupted; raises EIdSocketError for other failures.
  std::unique_ptr<TIdIOHandler> Accept(TIdStackSocketHandle ASocket, TIdThread* AThread) override;
};
