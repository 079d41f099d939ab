#include "net/IdListenerThread.h"

#include "net/IdException.h"
#include "net/IdTCPServer.h"

TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true), server_(AServer), binding_(ABinding) {}

TIdListenerThread::~TIdListenerThread() {
  BeforeDestruction();
}

void TIdListenerThread::RunOnce() {
  if (!server_) return;
  for (;;) {
    auto connection = std::make_unique<TIdTCPServerConnection>(server_);
    TIdThreadMgr* manager = nullptr;
    TIdPeerThread* peer = nullptr;  // ours until started
    try {
      std::unique_ptr<TIdIOHandler> handler =
          server_->IOHandler() ? server_->IOHandler()->Accept(binding_->OsSocket(), this) : nullptr;
      if (!handler) {
        connection.reset();
        Stop();
        return;
      }
      manager = server_->CurrentThreadMgr();
      if (!manager) throw EIdThreadClassNotSpecified();
      TIdThread* thread = manager->AcquireThread();
      peer = dynamic_cast<TIdPeerThread*>(thread);
      if (!peer) {
        manager->ActiveThreads().Remove(thread);
        delete thread;
        throw EIdTCPServerError("");
      }
      peer->SetConnection(std::move(connection));
      TIdTCPServerConnection* accepted = peer->Connection();
      accepted->SetIOHandler(handler.release());
      accepted->SetOwnsIOHandler(true);
      if (!server_->AdmitPeer(peer)) {
        manager->ActiveThreads().Remove(peer);
        accepted->WriteReply(server_->MaxConnectionReply());
        accepted->Disconnect();
        delete peer;  // never ran: frees its connection and the accepted socket
        peer = nullptr;
        continue;
      }
      // Once started the thread may end and free itself at any moment: hands off.
      peer->Start();
      return;
    } catch (const std::exception& e) {
      if (peer) {
        manager->ActiveThreads().Remove(peer);
        delete peer;
      }
      server_->ReportListenException(this, e);
      return;
    }
  }
}

void TIdListenerThread::RunEnded() {
  binding_->Close();
}
