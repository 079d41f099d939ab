#include "net/IdPeerThread.h"

#include "net/IdException.h"
#include "rtl/ScopeExit.h"

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
  if (server_) {
    intercept_ = server_->InterceptFor(connection_.get());
    if (intercept_) connection_->SetIntercept(intercept_.get());
    server_->PeerConnected(this);
  }
  if (!connection_->IsConnected()) Stop();
}

void TIdPeerThread::RunOnce() {
  if (!server_ || !connection_) {
    Stop();
    return;
  }
  try {
    if (!server_->ServePeer(this)) throw EIdNoExecuteSpecified();
  } catch (const EIdSocketError& e) {
    server_->ReportException(this, e);
    if (e.ErrorCode() == winsock::WSAECONNABORTED || e.ErrorCode() == winsock::WSAECONNRESET)
      connection_->Disconnect();
  } catch (const EIdClosedSocket& e) {
    server_->ReportException(this, e);
  } catch (const EIdConnClosedGracefully& e) {
    server_->ReportException(this, e);
  } catch (const std::exception& e) {
    server_->ReportException(this, e);
    throw;
  }
  if (!connection_->IsConnected()) Stop();
}

void TIdPeerThread::RunEnded() {
  if (connection_ && server_) server_->PeerDisconnected(this);
}

void TIdPeerThread::RunCleanup() {
  TIdThread::RunCleanup();
  if (!connection_) return;
  // Whatever leaving raises, the connection (and the intercept after it) goes.
  auto freeConnection = rtl::ScopeExit([this] {
    connection_.reset();
    intercept_.reset();
  });
  if (runBegun_ && server_) server_->PeerLeft(this);
}
