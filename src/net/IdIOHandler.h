#pragma once

#include <cstdint>
#include <string>

#include "net/IdComponent.h"

// The transport under a connection. Used by one thread at a time, except Close, which another
// thread may call while the owner waits.
class TIdIOHandler : public TIdComponent {
 public:
  using TIdComponent::TIdComponent;
  // Derived handlers close in their own destructors; a base destructor cannot reach their Close.
  ~TIdIOHandler() override = default;

  // Called by the server's peer thread after an accept.
  virtual void AcceptDone() {}
  virtual void Close() {}
  virtual void ConnectTo(const std::string& host, std::int32_t port, const std::string& boundIP,
                         std::int32_t boundPort, std::int32_t boundPortMin,
                         std::int32_t boundPortMax, std::int32_t timeout) {}
  virtual bool IsConnected() = 0;
  virtual void Open() {}
  virtual bool WaitReadable(std::int32_t timeout) = 0;
  // Whether Receive itself waits until bytes, the end or an error arrive, and a Close from
  // another thread ends that wait; then a wait without limit needs no WaitReadable first.
  virtual bool ReceiveWaits() const { return false; }
  // Bytes moved, 0 for end of stream, -1 for failure.
  virtual std::int32_t Receive(void* buffer, std::int32_t length) = 0;
  virtual std::int32_t Send(const void* buffer, std::int32_t length) = 0;
};
