#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"
#include "net/IdThread.h"

class TIdTCPServer;

// Takes clients off one of a server's bindings and starts a peer thread for each.
//
// Each round waits for a client, takes every other client already waiting (up to
// MaxAcceptBatch), and only then makes and starts their peer threads, without waiting for any of
// them to run. When accepting fails for lack of descriptors or buffers, the failure is reported
// and the listener pauses for BackOffMs before it tries again, so that it does not spin while
// runs end and free some.
//
// Always created suspended; the server starts it at activation and, at deactivation, terminates
// it, closes its binding's socket, waits for it and frees it. It also stops by itself when an
// accept yields nothing (its listening socket has gone), and closes the binding's socket as its
// run ends.
class TIdListenerThread : public TIdThread {
 public:
  static constexpr std::size_t MaxAcceptBatch = 1024;
  static constexpr std::int32_t BackOffMs = 100;
  static constexpr std::int32_t BackOffStepMs = 10;

  TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding);
  ~TIdListenerThread() override;

  TIdSocketHandle* Binding() const { return binding_; }
  TIdTCPServer* Server() const { return server_; }

 protected:
  // One round of accepting.
  void RunOnce() override;
  void RunEnded() override;

 private:
  // Gives the accepted client a peer thread and starts it, or refuses it at the connection limit;
  // a failure drops the client and is reported.
  void StartPeer(std::unique_ptr<TIdIOHandler> AHandler);
  // Waits BackOffMs, or less when the listener is stopped meanwhile.
  void BackOff();

  TIdTCPServer* const server_;
  TIdSocketHandle* const binding_;  // owned by the server's bindings
};
