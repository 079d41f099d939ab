#pragma once

#include <atomic>
#include <exception>
#include <memory>

#include "net/IdIntercept.h"
#include "net/IdTCPServerConnection.h"
#include "net/IdThread.h"

class TIdPeerThread;

// What a peer thread needs of the server whose client it serves, and all it can reach of it.
// Every call runs on the peer thread.
class TIdPeerServer {
 public:
  // The connection intercept for a new client, if the server gives one.
  virtual std::unique_ptr<TIdConnectionIntercept> InterceptFor(TIdTCPConnection* AConnection) = 0;
  // Greeting, then OnConnect.
  virtual void PeerConnected(TIdPeerThread* AThread) = 0;
  // One serving step; false when the server has no way of serving.
  virtual bool ServePeer(TIdPeerThread* AThread) = 0;
  virtual void ReportException(TIdPeerThread* AThread, const std::exception& AException) = 0;
  virtual void PeerDisconnected(TIdPeerThread* AThread) = 0;
  // The run is over: the thread is handed back to the thread manager and unlisted. The last call;
  // the server may be gone from then on.
  virtual void PeerLeft(TIdPeerThread* AThread) = 0;

 protected:
  ~TIdPeerServer() = default;
};

// The thread that serves one client of a server, from greeting to disconnect.
//
// The server makes it through its thread manager (suspended), gives it its connection and itself,
// lists it in PeerThreads and starts it; from then on only the thread itself and, while it is
// listed, the server (holding the PeerThreads lock) touch it. Its one run cycle greets the client
// and fires OnConnect (RunStarting), serves the client for as long as it stays connected
// (RunOnce), fires OnDisconnect (RunEnded), and then leaves the server and frees the connection
// (RunCleanup). The default manager makes it free itself when its body ends, so nobody may keep a
// pointer to it past its run.
//
// A thread that is discarded without ever running frees only its connection.
class TIdPeerThread : public TIdThread {
 public:
  explicit TIdPeerThread(bool ACreateSuspended = true);
  ~TIdPeerThread() override;

  TIdTCPServerConnection* Connection() const { return connection_.get(); }
  // Owned; set once, before the thread starts.
  void SetConnection(std::unique_ptr<TIdTCPServerConnection> AConnection);
  // Set once, before the thread starts; without one the thread serves nothing.
  void SetServer(TIdPeerServer* AServer) { server_ = AServer; }

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
  TIdPeerServer* server_ = nullptr;
  std::atomic<bool> runBegun_{false};
};
