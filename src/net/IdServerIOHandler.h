#pragma once

#include <memory>

#include "net/IdComponent.h"
#include "net/IdIOHandler.h"
#include "net/IdStack.h"

class TIdThread;

// How a server takes its clients off a listening socket.
//
// Prepare runs on the activating thread once per activation, before any binding is opened. Accept
// runs on listener threads, one per binding and possibly several at once, so an implementation
// keeps no per-call state in the object. The handler it returns belongs to the caller.
class TIdServerIOHandler : public TIdComponent {
 public:
  using TIdComponent::TIdComponent;

  virtual void Prepare() {}
  // The I/O handler of the next client on ASocket, or none. AThread (may be null) is the thread
  // that waits; a handler that waits gives up once that thread is stopped.
  virtual std::unique_ptr<TIdIOHandler> Accept(TIdStackSocketHandle ASocket, TIdThread* AThread);
};
