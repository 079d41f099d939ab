#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace test {

RecordingIOHandler::~RecordingIOHandler() {
  if (Destroyed) *Destroyed = true;
}

bool RecordingIOHandler::WaitReadable(std::int32_t timeout) {
  ++Waits;
  return TIdIOHandlerSocket::WaitReadable(timeout);
}

std::int32_t RecordingIOHandler::Receive(void* buffer, std::int32_t length) {
  ++Waits;
  ReceiveAsked.push_back(length);
  std::int32_t n = TIdIOHandlerSocket::Receive(buffer, length);
  ReceiveResults.push_back(n);
  return n;
}

std::int32_t RecordingIOHandler::Send(const void* buffer, std::int32_t length) {
  SendOffered.push_back(length);
  return TIdIOHandlerSocket::Send(buffer, SendCap > 0 ? std::min(length, SendCap) : length);
}

RawClient AttachLoopback(TIdTCPConnection& conn, TIdIOHandlerSocket* handler) {
  TIdSocketHandle listener;
  listener.SetIP("127.0.0.1");
  listener.SetPort(0);
  listener.OpenSocket();
  listener.BindLocal();
  listener.StartListening(1);
  RawClient peer = RawClient::ConnectTo(listener.Port());
  if (!handler) handler = new RecordingIOHandler();
  handler->Open();
  EXPECT_TRUE(handler->SocketHandle()->AcceptFrom(listener.OsSocket()));
  conn.SetIOHandler(handler);
  conn.SetOwnsIOHandler(true);
  conn.ResetReadState();
  return peer;
}

}  // namespace test
