#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>

#include "net/IdIOHandler.h"
#include "net/IdThread.h"

class TIdListenerThread;
class TIdSocketHandle;
class TIdTCPServer;

// What a listener thread needs of its server, and all it can reach of it. Every call runs on the
// listener thread.
class TIdListenerServer {
 public:
  // The next client on the listener's binding, waiting while the listener is not stopped; none
  // once nothing more can be accepted there.
  virtual std::unique_ptr<TIdIOHandler> AcceptClient(TIdListenerThread* AListener) = 0;
  // A client taken off the binding: the server gives it a peer thread, or refuses it. Reports its
  // own failures.
  virtual void ClientAccepted(TIdListenerThread* AListener,
                              std::unique_ptr<TIdIOHandler> AHandler) = 0;
  virtual void ReportListenException(TIdListenerThread* AListener,
                                     const std::exception& AException) = 0;

 protected:
  ~TIdListenerServer() = default;
};

// Takes clients off one of a server's bindings and hands each to the server.
//
// Each round waits for a client, takes every other client already waiting (up to
// MaxAcceptBatch), and only then hands them over, so that a burst of connects waits in our hands
// rather than in a listen queue that may overflow. When accepting fails for lack of descriptors
// or buffers, the failure is reported and the listener pauses for BackOffMs before it tries
// again, so that it does not spin while runs end and free some.
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

  // AServer is what the listener reports to; AOwner the server as event handlers see it.
  TIdListenerThread(TIdTCPServer* AOwner, TIdListenerServer* AServer, TIdSocketHandle* ABinding);
  ~TIdListenerThread() override;

  TIdSocketHandle* Binding() const { return binding_; }
  TIdTCPServer* Server() const { return owner_; }

 protected:
  // One round of accepting.
  void RunOnce() override;
  void RunEnded() override;

 private:
  // Waits BackOffMs, or less when the listener is stopped meanwhile.
  void BackOff();

  TIdTCPServer* const owner_;
  TIdListenerServer* const server_;
  TIdSocketHandle* const binding_;  // owned by the server's bindings
};
