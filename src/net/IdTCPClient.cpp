#include "net/IdTCPClient.h"

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

TIdTCPClient::TIdTCPClient(rtl::TComponent* owner) : TIdTCPConnection(owner) {}

TIdTCPClient::~TIdTCPClient() = default;

void TIdTCPClient::NotifyConnected() {
  if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Connect(std::int32_t timeout) {
  if (IOHandler() == nullptr) {
    auto* handler = new TIdIOHandlerSocket(this);  // owned by the client as a component
    SetIOHandler(handler);
    handler->OnStatus = OnStatus;
    SetOwnsIOHandler(true);
  } else if (IOHandler()->IsConnected()) {
    throw EIdAlreadyConnected();
  }

  try {
    IOHandler()->Open();
    ResetReadState();
    IOHandler()->ConnectTo(host_, port_, boundIP_, boundPort_, boundPortLow_, boundPortHigh_,
                           timeout);
    if (TIdConnectionIntercept* intercept = Intercept()) intercept->Connect(this);
    ReportStatus(hsConnected, {host_});
    NotifyConnected();
  } catch (...) {
    try {
      DropSocket();
    } catch (...) {
      // The caller needs the error that ended the connect, not one from closing after it.
    }
    throw;
  }
}

std::string TIdTCPClient::ConnectAndReadAll() {
  Connect(-1);
  std::string text;
  try {
    text = ReadToEnd();
  } catch (...) {
    try {
      Disconnect();
    } catch (...) {
      // The read's error is the one worth reporting.
    }
    throw;
  }
  Disconnect();
  return text;
}
