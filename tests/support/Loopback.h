#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPConnection.h"
#include "support/RawClient.h"

namespace test {

// A socket handler over a real socket that records what the connection asks of it, and can pass on
// at most SendCap bytes per send to make partial sends happen on demand.
class RecordingIOHandler : public TIdIOHandlerSocket {
 public:
  using TIdIOHandlerSocket::TIdIOHandlerSocket;
  ~RecordingIOHandler() override;

  std::int32_t SendCap = 0;  // 0 = no cap
  std::vector<std::int32_t> SendOffered;
  std::vector<std::int32_t> ReceiveAsked;
  std::vector<std::int32_t> ReceiveResults;
  std::atomic<int> Waits = 0;  // calls that may block: waits and receives
  std::atomic<bool>* Destroyed = nullptr;

  bool WaitReadable(std::int32_t timeout) override;
  std::int32_t Receive(void* buffer, std::int32_t length) override;
  std::int32_t Send(const void* buffer, std::int32_t length) override;
};

// Accepts one loopback connection into handler (a new RecordingIOHandler when none is given),
// installs it on conn as an owned I/O handler and gives the client end. The connection must exist,
// so that the socket stack does.
RawClient AttachLoopback(TIdTCPConnection& conn, TIdIOHandlerSocket* handler = nullptr);

}  // namespace test
