#include "net/IdIOHandlerSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/SocketTestSupport.h"

using test::kLoopback;

namespace {

class IdIOHandlerSocketTest : public testing::Test {
 protected:
  // Connects handler_ to a fresh listener and accepts the other end into peer_.
  void ConnectHandler(const std::string& host = kLoopback) {
    test::Listen(listener_);
    handler_.Open();
    handler_.ConnectTo(host, listener_.Port(), "", 0, 0, 0, -1);
    ASSERT_TRUE(peer_.AcceptFrom(listener_.OsSocket()));
  }

  TIdIOHandlerSocket handler_;
  TIdSocketHandle listener_;
  TIdSocketHandle peer_;
};

TEST_F(IdIOHandlerSocketTest, ClosedHandlerRefusesToMoveBytes) {
  char buffer[4] = {};
  auto expectDisconnected = [&](const char* when) {
    EXPECT_FALSE(handler_.IsConnected()) << when;
    for (int send = 0; send < 2; ++send) {
      try {
        send ? handler_.Send("ab", 2) : handler_.Receive(buffer, sizeof buffer);
        ADD_FAILURE() << when << ": no error";
      } catch (const EIdClosedSocket& e) {
        EXPECT_EQ("Disconnected.", e.Message()) << when;
      }
    }
  };
  expectDisconnected("never opened");
  EXPECT_THROW(handler_.WaitReadable(0), EIdConnClosedGracefully);
  handler_.Close();  // nothing to close

  ConnectHandler();
  ASSERT_TRUE(handler_.IsConnected());
  handler_.Close();
  expectDisconnected("after Close");
  EXPECT_THROW(handler_.WaitReadable(0), EIdConnClosedGracefully);
}

TEST_F(IdIOHandlerSocketTest, ConnectedHandlerMovesBytesBothWays) {
  std::vector<std::string> statuses;
  handler_.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) {
    statuses.push_back(text);
  };
  ConnectHandler("localhost");
  EXPECT_EQ((std::vector<std::string>{"Resolving hostname localhost.", "Connecting to 127.0.0.1."}),
            statuses);
  EXPECT_EQ(peer_.Port(), handler_.SocketHandle()->RemotePort());

  ASSERT_EQ(4, handler_.Send("ping", 4));
  char buffer[8] = {};
  ASSERT_TRUE(peer_.WaitReadable(5000));
  ASSERT_EQ(4, peer_.Receive(buffer, sizeof buffer));
  EXPECT_EQ("ping", std::string(buffer, 4));

  EXPECT_FALSE(handler_.WaitReadable(0));
  ASSERT_EQ(4, peer_.Transmit("pong", 4));
  ASSERT_TRUE(handler_.WaitReadable(5000));
  ASSERT_EQ(4, handler_.Receive(buffer, sizeof buffer));
  EXPECT_EQ("pong", std::string(buffer, 4));

  peer_.Close();
  ASSERT_TRUE(handler_.WaitReadable(5000));
  EXPECT_EQ(0, handler_.Receive(buffer, sizeof buffer));
}

TEST_F(IdIOHandlerSocketTest, NagleSwitchedOffSetsNoDelay) {
  for (bool useNagle : {true, false}) {
    TIdIOHandlerSocket handler;
    TIdSocketHandle listener;
    test::Listen(listener);
    handler.SetUseNagle(useNagle);
    handler.Open();
    handler.ConnectTo(kLoopback, listener.Port(), "", 0, 0, 0, -1);
    std::int32_t noDelay = -1;
    std::int32_t length = sizeof noDelay;
    ASSERT_EQ(0,
              GlobalStack()->SockGetOption(handler.SocketHandle()->OsSocket(), winsock::IPPROTO_TCP,
                                           winsock::TCP_NODELAY, &noDelay, length));
    EXPECT_EQ(!useNagle, noDelay != 0);
  }
}

TEST_F(IdIOHandlerSocketTest, FailedConnectLeavesTheHandlerDisconnected) {
  TIdSocketHandle probe;
  test::Listen(probe);
  const std::int32_t port = probe.Port();
  probe.Close();  // nobody listens there now
  handler_.Open();
  try {
    handler_.ConnectTo(kLoopback, port, "", 0, 0, 0, -1);
    FAIL() << "connected to a closed port";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(10061, e.ErrorCode());
  }
  EXPECT_FALSE(handler_.IsConnected());
}

TEST_F(IdIOHandlerSocketTest, ReopeningDropsTheOldConnection) {
  ConnectHandler();
  TIdSocketHandle* handle = handler_.SocketHandle();
  handler_.Open();
  EXPECT_EQ(handle, handler_.SocketHandle());
  EXPECT_FALSE(handler_.IsConnected());
  EXPECT_EQ(Id_INVALID_SOCKET, handle->OsSocket());
  EXPECT_EQ("", handle->RemoteIP());
  // The peer sees the end of the stream instead of a socket left open forever.
  char buffer[4];
  ASSERT_TRUE(peer_.WaitReadable(5000));
  EXPECT_EQ(0, peer_.Receive(buffer, sizeof buffer));
}

}  // namespace
