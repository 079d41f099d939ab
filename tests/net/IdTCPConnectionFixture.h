#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/IdTCPConnection.h"
#include "support/Loopback.h"
#include "support/Pattern.h"

namespace test {

// A server-side connection over a real loopback socket, with the raw client end as the peer, and
// a log of the connection's status and disconnect events in the order they fired.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = std::make_unique<TIdTCPConnection>();
    handler = new RecordingIOHandler();
    peer = AttachLoopback(*conn, handler);
    conn->OnStatus = [this](TIdComponent*, TIdStatus status, const std::string& text) {
      static const char* const kNames[] = {"hsResolving", "hsConnecting", "hsConnected",
                                           "hsDisconnecting", "hsDisconnected"};
      events.push_back(std::string(status <= hsDisconnected ? kNames[status] : "other") + " " +
                       text);
    };
    conn->OnDisconnected = [this](rtl::TComponent* sender) {
      EXPECT_EQ(sender, conn.get());
      events.push_back("OnDisconnected");
    };
  }

  std::unique_ptr<TIdTCPConnection> conn;
  RecordingIOHandler* handler = nullptr;  // owned by conn
  RawClient peer;
  std::vector<std::string> events;
};

}  // namespace test
