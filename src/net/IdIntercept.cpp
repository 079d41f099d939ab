#include "net/IdIntercept.h"

void TIdConnectionIntercept::SetNextIntercept(TIdConnectionIntercept* value) {
  if (value == nextIntercept_) return;
  // The link to the connection is kept: dropping it would also drop the connection's own watch.
  if (nextIntercept_ && nextIntercept_ != connection_) RemoveFreeNotification(nextIntercept_);
  nextIntercept_ = value;
  if (nextIntercept_) FreeNotification(nextIntercept_);
}

void TIdConnectionIntercept::Connect(rtl::TComponent* connection) {
  connection_ = connection;
  if (connection_) FreeNotification(connection_);
  if (OnConnect) OnConnect(this);
  ChainConnect(connection);
}

void TIdConnectionIntercept::Disconnect() {
  ChainDisconnect();
  if (OnDisconnect) OnDisconnect(this);
  connection_ = nullptr;
}

void TIdConnectionIntercept::Receive(rtl::TStream& stream) {
  // The inner intercepts undo their layers before this one sees the bytes.
  ChainReceive(stream);
  if (OnReceive) {
    OnReceive(this, stream);
    stream.SetPosition(0);
  }
}

void TIdConnectionIntercept::Send(rtl::TStream& stream) {
  if (OnSend) {
    OnSend(this, stream);
    stream.SetPosition(0);
  }
  ChainSend(stream);
}

void TIdConnectionIntercept::ChainConnect(rtl::TComponent* connection) {
  if (nextIntercept_) nextIntercept_->Connect(connection);
}

void TIdConnectionIntercept::ChainDisconnect() {
  if (nextIntercept_) nextIntercept_->Disconnect();
}

void TIdConnectionIntercept::ChainReceive(rtl::TStream& stream) {
  if (nextIntercept_) nextIntercept_->Receive(stream);
}

void TIdConnectionIntercept::ChainSend(rtl::TStream& stream) {
  if (nextIntercept_) nextIntercept_->Send(stream);
}

void TIdConnectionIntercept::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  rtl::TComponent::Notification(component, operation);
  if (operation != rtl::TOperation::opRemove) return;
  if (component == nextIntercept_) nextIntercept_ = nullptr;
  if (component == connection_) connection_ = nullptr;
}
