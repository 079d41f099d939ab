#pragma once

#include <atomic>
#include <memory>

#include "net/IdIntercept.h"
#include "net/IdTCPServerConnection.h"
#include "net/IdThread.h"

// The thread that serves one client of a server, from greeting to disconnect.
//
// The listener makes it through the server's thread manager (suspended), gives it its connection,
// lists it in the server's PeerThreads and starts it; from then on only the thread itself and,
// while it is listed, the server (holding the PeerThreads lock) touch it. Its one run cycle
// greets the client and fires OnConnect (RunStarting), serves the client for as long as it stays
// connected (RunOnce), fires OnDisconnect (RunEnded), and then hands itself back to the thread
// manager, leaves PeerThreads and frees the connection (RunCleanup). The default manager makes it
// free itself when its body ends, so nobody may keep a pointer to it past its run.
//
// A thread that is discarded without ever running frees only its connection.
class TIdPeerThread : public TIdThread {
 public:
  explicit TIdPeerThread(bool ACreateSuspended = true);
  ~TIdPeerThread() override;

  TIdTCPServerConnection* Connection() const { return connection_.get(); }
  // Owned; set once, before the thread starts.
  void SetConnection(std::unique_ptr<TIdTCPServerConnection> AConnection);

  // True once the body has begun its run; from then on the run always ends in RunCleanup.
  bool RunBegun() const { return runBegun_.load(); }

 protected:
  void RunStarting() override;
  void RunOnce() override;
  void RunEnded() override;
  void RunCleanup() override;

 private:
  std::unique_ptr<TIdTCPServerConnection> connection_;
  // Made by the server's intercept for this connection; outlives the connection.
  std::unique_ptr<TIdConnectionIntercept> intercept_;
  std::atomic<bool> runBegun_{false};
};
