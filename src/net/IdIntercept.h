#pragma once

#include <functional>

#include "rtl/Component.h"
#include "rtl/Stream.h"

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* ASender, rtl::TStream& AStream)>;

// A chainable hook that sees, and may change, every byte a connection sends and receives. On
// receive the innermost intercept of a chain sees the bytes first; on send the outermost does.
class TIdConnectionIntercept : public rtl::TComponent {
 public:
  using rtl::TComponent::TComponent;

  TIdInterceptNotifyEvent OnConnect;
  TIdInterceptNotifyEvent OnDisconnect;
  TIdInterceptStreamEvent OnReceive;
  TIdInterceptStreamEvent OnSend;

  // Not owned; cleared when it is destroyed.
  TIdConnectionIntercept* NextIntercept() const { return nextIntercept_; }
  void SetNextIntercept(TIdConnectionIntercept* value);
  rtl::TComponent* Connection() const { return connection_; }

  virtual void Connect(rtl::TComponent* connection);
  virtual void Disconnect();
  virtual void Receive(rtl::TStream& stream);
  virtual void Send(rtl::TStream& stream);

 protected:
  virtual void ChainConnect(rtl::TComponent* connection);
  virtual void ChainDisconnect();
  virtual void ChainReceive(rtl::TStream& stream);
  virtual void ChainSend(rtl::TStream& stream);
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  TIdConnectionIntercept* nextIntercept_ = nullptr;
  rtl::TComponent* connection_ = nullptr;
};
