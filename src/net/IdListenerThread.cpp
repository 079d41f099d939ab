#include "net/IdListenerThread.h"

#include <exception>
#include <vector>

#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "rtl/Time.h"

namespace {

// The process (or the system) has no descriptor or buffer left for another socket.
bool LackOfResources(const std::exception& error) {
  const auto* socketError = dynamic_cast<const EIdSocketError*>(&error);
  return socketError && (socketError->ErrorCode() == winsock::WSAEMFILE ||
                         socketError->ErrorCode() == winsock::WSAENOBUFS);
}

}  // namespace

TIdListenerThread::TIdListenerThread(TIdTCPServer* AOwner, TIdListenerServer* AServer,
                                     TIdSocketHandle* ABinding)
    : TIdThread(true), owner_(AOwner), server_(AServer), binding_(ABinding) {}

TIdListenerThread::~TIdListenerThread() {
  BeforeDestruction();
}

void TIdListenerThread::RunOnce() {
  if (!server_) return;
  std::vector<std::unique_ptr<TIdIOHandler>> accepted;
  bool listening = true;
  std::exception_ptr failure;
  try {
    do {
      std::unique_ptr<TIdIOHandler> handler = server_->AcceptClient(this);
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
    server_->ClientAccepted(this, std::move(handler));

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

void TIdListenerThread::BackOff() {
  for (std::int32_t waited = 0; waited < BackOffMs && !IsStopped(); waited += BackOffStepMs)
    rtl::Sleep(BackOffStepMs);
}

void TIdListenerThread::RunEnded() {
  binding_->Close();
}
