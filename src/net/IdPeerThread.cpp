#include "net/IdPeerThread.h"

#include "net/IdException.h"
#include "net/IdTCPServer.h"

// One per client, thousands at once: a small stack each (the serving step stays shallow).
TIdPeerThread::TIdPeerThread(bool ACreateSuspended)
    : TIdThread(ACreateSuspended, rtl::kSmallStackSize) {}

TIdPeerThread::~TIdPeerThread() {
  BeforeDestruction();
}

void TIdPeerThread::SetConnection(std::unique_ptr<TIdTCPServerConnection> AConnection) {
  connection_ = std::move(AConnection);
}

void TIdPeerThread::RunStarting() {
  runBegun_ = true;
  try {
    if (!connection_ || !connection_->IOHandler()) throw EIdTCPServerError("");
    connection_->IOHandler()->AcceptDone();
  } catch (...) {
    SetFreeWhenFinished(true);
    throw;
  }
  TIdTCPServer* server = connection_->Server();
  if (server) {
    if (TIdServerIntercept* serverIntercept = server->Intercept()) {
      intercept_ = serverIntercept->InterceptFor(connection_.get());
      connection_->SetIntercept(intercept_.get());
    }
    server->PeerConnected(this);
  }
  if (!connection_->IsConnected()) Stop();
}

void TIdPeerThread::RunOnce() {
  TIdTCPServer* server = connection_ ? connection_->Server() : nullptr;
  if (!server) {
    Stop();
    return;
  }
  try {
    if (!server->ServePeer(this)) throw EIdNoExecuteSpecified();
  } catch (const EIdSocketError& e) {
    server->ReportException(this, e);
    if (e.ErrorCode() == winsock::WSAECONNABORTED || e.ErrorCode() == winsock::WSAECONNRESET)
      connection_->Disconnect();
  } catch (const EIdClosedSocket& e) {
    server->ReportException(this, e);
  } catch (const EIdConnClosedGracefully& e) {
    server->ReportException(this, e);
  } catch (const std::exception& e) {
    server->ReportException(this, e);
    throw;
  }
  if (!connection_->IsConnected()) Stop();
}

void TIdPeerThread::RunEnded() {
  if (connection_ && connection_->Server()) connection_->Server()->PeerDisconnected(this);
}

void TIdPeerThread::RunCleanup() {
  TIdThread::RunCleanup();
  if (!connection_) return;
  TIdTCPServer* server = connection_->Server();
  std::exception_ptr failure;
  if (runBegun_ && server) {
    // Handed back first, unlisted last: once off PeerThreads this thread never reaches the server
    // (or its thread manager) again, so the server may go from then on.
    try {
      if (TIdThreadMgr* manager = server->CurrentThreadMgr()) {
        manager->ReleaseThread(this);
      } else {
        SetFreeWhenFinished(true);
        Terminate();
      }
    } catch (...) {
      failure = std::current_exception();
    }
    server->PeerThreads().Remove(this);
  }
  connection_.reset();
  intercept_.reset();
  if (failure) std::rethrow_exception(failure);
}
