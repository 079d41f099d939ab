#pragma once

#include <memory>

#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"

// The I/O handler over one socket handle, which it owns and creates on Open.
class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  using TIdIOHandler::TIdIOHandler;
  ~TIdIOHandlerSocket() override;  // Close, then frees the socket handle

  TIdSocketHandle* SocketHandle() const { return socketHandle_.get(); }
  bool UseNagle() const { return useNagle_; }
  void SetUseNagle(bool value) { useNagle_ = value; }

  void Close() override;
  // Opens, binds and connects the socket to host:port; raises on failure.
  void ConnectTo(const std::string& host, std::int32_t port, const std::string& boundIP,
                 std::int32_t boundPort, std::int32_t boundPortMin, std::int32_t boundPortMax,
                 std::int32_t timeout) override;
  bool IsConnected() override;
  // Creates the socket handle, or clears the existing one for reuse.
  void Open() override;
  bool WaitReadable(std::int32_t timeout) override;
  // Raise EIdClosedSocket "Disconnected." when the socket is not open.
  std::int32_t Receive(void* buffer, std::int32_t length) override;
  std::int32_t Send(const void* buffer, std::int32_t length) override;

 private:
  std::unique_ptr<TIdSocketHandle> socketHandle_;
  bool useNagle_ = true;
};
