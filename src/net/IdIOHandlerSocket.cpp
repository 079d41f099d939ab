#include "net/IdIOHandlerSocket.h"

#include "net/IdAntiFreezeBase.h"
#include "net/IdException.h"

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  try {
    Close();
  } catch (...) {
    // A destructor must not throw; closing reports nothing anyway.
  }
}

void TIdIOHandlerSocket::Close() {
  if (socketHandle_) socketHandle_->Close();
}

void TIdIOHandlerSocket::ConnectTo(const std::string& host, std::int32_t port,
                                   const std::string& boundIP, std::int32_t boundPort,
                                   std::int32_t boundPortMin, std::int32_t boundPortMax,
                                   std::int32_t timeout) {
  if (!socketHandle_) Open();
  TIdSocketHandle& handle = *socketHandle_;
  try {
    handle.OpenSocket(Id_SOCK_STREAM, 0);
    handle.SetIP(boundIP);
    handle.SetPort(boundPort);
    handle.SetClientPortMin(boundPortMin);
    handle.SetClientPortMax(boundPortMax);
    handle.BindLocal();

    TIdStack* stack = GlobalStack();
    if (!TIdStack::IsDottedQuad(host)) ReportStatus(hsResolving, {host});
    handle.SetPeerAddress(stack->HostToAddress(host), port);
    if (!useNagle_) {
      const std::int32_t on = 1;
      handle.SetOption(winsock::IPPROTO_TCP, winsock::TCP_NODELAY, &on, sizeof on);
    }
    ReportStatus(hsConnecting, {handle.RemoteIP()});
    stack->CheckSocketResult(handle.ConnectPeer(Id_PF_INET));
  } catch (...) {
    // A failed connect leaves no half-made socket behind that would count as connected.
    handle.Close();
    throw;
  }
}

bool TIdIOHandlerSocket::IsConnected() {
  return socketHandle_ && socketHandle_->IsOpen();
}

void TIdIOHandlerSocket::Open() {
  if (!socketHandle_) {
    socketHandle_ = std::make_unique<TIdSocketHandle>();
    return;
  }
  // Forgetting a socket that is still open would leak it: close it before the state is cleared.
  socketHandle_->Close();
  socketHandle_->ClearState(true);
}

bool TIdIOHandlerSocket::WaitReadable(std::int32_t timeout) {
  if (!socketHandle_) throw EIdConnClosedGracefully();
  return socketHandle_->WaitReadable(timeout);
}

std::int32_t TIdIOHandlerSocket::Receive(void* buffer, std::int32_t length) {
  if (!IsConnected()) throw EIdClosedSocket();
  return socketHandle_->Receive(buffer, length, 0);
}

std::int32_t TIdIOHandlerSocket::Send(const void* buffer, std::int32_t length) {
  if (!IsConnected()) throw EIdClosedSocket();
  return socketHandle_->Transmit(buffer, length, 0);
}
