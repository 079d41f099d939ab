#include "net/IdListenerThread.h"

#include <exception>
#include <vector>

#include "net/IdException.h"
#include "net/IdTCPServer.h"
#include "rtl/Time.h"

namespace {

// The process (or the system) has no descriptor or buffer left for another socket.
bool LackOfResources(const std::exception& error) {
  const auto* socketError = dynamic_cast<const EIdSocketError*>(&error);
  return socketError && (socketError->ErrorCode() == winsock::WSAEMFILE ||
                         socketError->ErrorCode() == winsock::WSAENOBUFS);
}

}  // namespace

TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true), server_(AServer), binding_(ABinding) {}

TIdListenerThread::~TIdListenerThread() {
  BeforeDestruction();
}

void TIdListenerThread::RunOnce() {
  if (!server_) return;
  // Every client already waiting is taken off the listen queue before any thread is made for
  // one: a burst of connects then waits in our hands rather than in a queue that may overflow.
  std::vector<std::unique_ptr<TIdIOHandler>> accepted;
  bool listening = true;
  std::exception_ptr failure;
  try {
    do {
      TIdServerIOHandler* ioHandler = server_->IOHandler();
      std::unique_ptr<TIdIOHandler> handler =
          ioHandler ? ioHandler->Accept(binding_->OsSocket(), this) : nullptr;
      if (!handler) {
        listening = false;
        break;
      }
      accepted.push_back(std::move(handler));
    } while (accepted.size() < MaxAcceptBatch &&
             TIdSocketHandle::SocketReadable(binding_->OsSocket(), 0));
  } catch (const std::exception&) {
    failure = std::current_exception();
  }

  for (std::unique_ptr<TIdIOHandler>& handler : accepted)
    StartPeer(std::move(handler));

  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      server_->ReportListenException(this, e);
      // Trying again at once would fail again at once, at full speed: give the runs a moment to
      // end and free some.
      if (LackOfResources(e)) BackOff();
    }
  }
  if (!listening) Stop();
}

void TIdListenerThread::StartPeer(std::unique_ptr<TIdIOHandler> AHandler) {
  TIdThreadMgr* manager = nullptr;
  TIdPeerThread* peer = nullptr;  // ours until started
  try {
    auto connection = std::make_unique<TIdTCPServerConnection>(server_);
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
    TIdTCPServerConnection* client = peer->Connection();
    client->SetIOHandler(AHandler.release());
    client->SetOwnsIOHandler(true);
    if (!server_->AdmitPeer(peer)) {
      manager->ActiveThreads().Remove(peer);
      client->WriteReply(server_->MaxConnectionReply());
      client->Disconnect();
      delete peer;  // never ran: frees its connection and the accepted socket
      return;
    }
    // Once started the thread may end and free itself at any moment: hands off. Starting only
    // releases it; nothing here waits for it to run.
    peer->Start();
  } catch (const std::exception& e) {
    if (peer) {
      manager->ActiveThreads().Remove(peer);
      delete peer;
    }
    server_->ReportListenException(this, e);
  }
}

void TIdListenerThread::BackOff() {
  for (std::int32_t waited = 0; waited < BackOffMs && !IsStopped(); waited += BackOffStepMs)
    rtl::Sleep(BackOffStepMs);
}

void TIdListenerThread::RunEnded() {
  binding_->Close();
}
