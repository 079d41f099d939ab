#pragma once

#include "net/IdSocketHandle.h"
#include "net/IdThread.h"

class TIdTCPServer;

// Takes clients off one of a server's bindings and starts a peer thread for each.
//
// Always created suspended; the server starts it at activation and, at deactivation, terminates
// it, closes its binding's socket, waits for it and frees it. It also stops by itself when an
// accept yields nothing (its listening socket has gone), and closes the binding's socket as its
// run ends.
class TIdListenerThread : public TIdThread {
 public:
  TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding);
  ~TIdListenerThread() override;

  TIdSocketHandle* Binding() const { return binding_; }
  TIdTCPServer* Server() const { return server_; }

 protected:
  // Serves at most one admitted client per call.
  void RunOnce() override;
  void RunEnded() override;

 private:
  TIdTCPServer* const server_;
  TIdSocketHandle* const binding_;  // owned by the server's bindings
};
