#include "net/IdTCPClient.h"

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "rtl/ScopeExit.h"

TIdTCPClient::TIdTCPClient(rtl::TComponent* owner) : TIdTCPConnection(owner) {}

TIdTCPClient::~TIdTCPClient() = default;

void TIdTCPClient::NotifyConnected() {
  if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Connect(std::int32_t timeout) {
  if (IOHandler() == nullptr) {
    // Ours, and a component of the client as well, which frees it at the latest.
    auto handler = std::make_unique<TIdIOHandlerSocket>(this);
    handler->OnStatus = OnStatus;
    SetIOHandler(std::move(handler));
  } else if (IOHandler()->IsConnected()) {
    throw EIdAlreadyConnected();
  }

  // The caller needs the error that ended the connect, not one from closing after it.
  auto drop = rtl::OnFailure([this] { DropSocket(); });
  IOHandler()->Open();
  if (TIdIOHandlerSocket* socket = SocketHandler()) socket->SetIPVersion(ipVersion_);
  ResetReadState();
  IOHandler()->ConnectTo(host_, port_, boundIP_, boundPort_, boundPortLow_, boundPortHigh_,
                         timeout);
  if (TIdConnectionIntercept* intercept = Intercept()) intercept->Connect(this);
  ReportStatus(hsConnected, {host_});
  NotifyConnected();
}

std::string TIdTCPClient::ConnectAndReadAll() {
  Connect(-1);
  std::string text;
  {
    // A failed read's error is the one worth reporting, not one from disconnecting after it.
    auto disconnect = rtl::OnFailure([this] { Disconnect(); });
    text = ReadToEnd();
  }
  Disconnect();
  return text;
}
