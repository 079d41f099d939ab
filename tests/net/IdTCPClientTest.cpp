#include "net/IdTCPClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ClientTestPeers.h"
#include "net/IdException.h"
#include "net/IdIntercept.h"

namespace {

using test::RefusingPort;
using test::ScriptedServer;
using test::UnansweredListener;
using Clock = std::chrono::steady_clock;

constexpr const char* kLoopback = "127.0.0.1";

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A client with its status reports and OnConnected calls recorded in order.
class TCPClientTest : public testing::Test {
 protected:
  TCPClientTest() { Record(*client_); }

  void Record(TIdTCPClient& client) {
    client.OnStatus = StatusRecorder();
    client.OnConnected = [this, &client](rtl::TComponent* sender) {
      EXPECT_EQ(sender, &client);
      events_.push_back("OnConnected");
    };
  }

  TIdStatusEvent StatusRecorder() {
    return [this](TIdComponent*, TIdStatus status, const std::string& text) {
      static const char* const kNames[] = {"hsResolving", "hsConnecting", "hsConnected",
                                           "hsDisconnecting", "hsDisconnected"};
      events_.push_back(std::string(status <= hsDisconnected ? kNames[status] : "other") + " " +
                        text);
    };
  }

  void Target(const std::string& host, std::int32_t port) {
    client_->SetHost(host);
    client_->SetPort(port);
  }

  std::unique_ptr<TIdTCPClient> client_ = std::make_unique<TIdTCPClient>();
  std::vector<std::string> events_;
};

TEST_F(TCPClientTest, DefaultsAreEmpty) {
  EXPECT_EQ("", client_->Host());
  EXPECT_EQ(0, client_->Port());
  EXPECT_EQ("", client_->BoundIP());
  EXPECT_EQ(0, client_->BoundPort());
  EXPECT_EQ(0, client_->BoundPortLow());
  EXPECT_EQ(0, client_->BoundPortHigh());
  EXPECT_EQ(nullptr, client_->IOHandler());
  EXPECT_FALSE(client_->IsConnected());
}

TEST_F(TCPClientTest, StatusSequenceDependsOnTheHostForm) {
  struct Case {
    const char* host;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"127.0.0.1",
       {"hsConnecting Connecting to 127.0.0.1.", "hsConnected Connected.", "OnConnected"}},
      {"localhost",
       {"hsResolving Resolving hostname localhost.", "hsConnecting Connecting to 127.0.0.1.",
        "hsConnected Connected.", "OnConnected"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    client_ = std::make_unique<TIdTCPClient>();
    Record(*client_);
    events_.clear();
    ScriptedServer server({});
    Target(c.host, server.Port());
    client_->Connect(-1);
    EXPECT_EQ(c.expected, events_);
    ASSERT_TRUE(client_->IsConnected());
    ASSERT_NE(nullptr, client_->SocketHandler());
    EXPECT_TRUE(client_->OwnsIOHandler());
    EXPECT_EQ(client_.get(), client_->IOHandler()->Owner());
    EXPECT_EQ(server.Port(), client_->SocketHandler()->SocketHandle()->RemotePort());
    client_->DropSocket();
  }
}

TEST_F(TCPClientTest, StatusHandlerSetAfterTheFirstConnectSeesOnlyConnected) {
  client_->OnStatus = nullptr;
  ScriptedServer first({});
  Target("localhost", first.Port());
  client_->Connect(-1);
  TIdIOHandler* handler = client_->IOHandler();
  client_->DropSocket();
  EXPECT_EQ((std::vector<std::string>{"OnConnected"}), events_);

  events_.clear();
  client_->OnStatus = StatusRecorder();
  ScriptedServer second({});
  client_->SetPort(second.Port());
  client_->Connect(-1);
  EXPECT_EQ(handler, client_->IOHandler()) << "a later connect reuses the handler";
  EXPECT_EQ((std::vector<std::string>{"hsConnected Connected.", "OnConnected"}), events_);
}

TEST_F(TCPClientTest, ConnectWhileConnectedChangesNothing) {
  ScriptedServer server({{4, {"pong\n"}}});
  Target(kLoopback, server.Port());
  client_->Connect(-1);
  events_.clear();
  ScriptedServer other({});
  client_->SetPort(other.Port());
  try {
    client_->Connect(-1);
    ADD_FAILURE() << "connected twice";
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_EQ("Already connected.", e.Message());
  }
  EXPECT_TRUE(events_.empty());
  ASSERT_TRUE(client_->IsConnected());
  client_->Write("ping");
  EXPECT_EQ("pong", client_->ReadLine());
  client_->DropSocket();
  EXPECT_EQ("ping", server.Received());
}

TEST_F(TCPClientTest, RefusedConnectLeavesTheClientReusable) {
  // -1 and 0 connect on the calling thread and raise the socket error itself; any other time-out
  // runs the connect thread, whose failure comes as EIdConnectException with the same text.
  struct Case {
    std::int32_t timeout;
    bool timed;
  };
  for (const Case& c :
       {Case{-1, false}, Case{0, false}, Case{50, true}, Case{3000, true}, Case{-2, true}}) {
    SCOPED_TRACE(c.timeout);
    events_.clear();
    RefusingPort closed;
    Target(kLoopback, closed.Port());
    try {
      client_->Connect(c.timeout);
      ADD_FAILURE() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
      EXPECT_FALSE(c.timed);
      EXPECT_EQ(10061, e.ErrorCode());
    } catch (const EIdConnectException& e) {
      EXPECT_TRUE(c.timed);
      EXPECT_EQ(GlobalStack()->SocketErrorText(10061), e.Message());
    }
    EXPECT_FALSE(client_->IsConnected());
    EXPECT_EQ((std::vector<std::string>{"hsConnecting Connecting to 127.0.0.1."}), events_);

    ScriptedServer server({{2, {"ok\n"}}});
    client_->SetPort(server.Port());
    const auto start = Clock::now();
    client_->Connect(c.timeout);
    EXPECT_LT(MsSince(start), 1500) << "a fast connect is noticed at the next poll step";
    ASSERT_TRUE(client_->IsConnected());
    client_->Write("hi");
    EXPECT_EQ("ok", client_->ReadLine());
    client_->DropSocket();
    EXPECT_EQ("hi", server.Received());
  }
}

TEST_F(TCPClientTest, TimedConnectToASilentAddressTimesOut) {
  UnansweredListener silent;
  ASSERT_NE(0, silent.Port()) << "could not fill the accept queue";
  Target(kLoopback, silent.Port());
  // 100 ms is one plain sleep; 1200 ms runs the 125 ms poll loop.
  for (std::int32_t timeout : {100, 1200}) {
    SCOPED_TRACE(timeout);
    events_.clear();
    const auto start = Clock::now();
    try {
      client_->Connect(timeout);
      ADD_FAILURE() << "connected to a listener that never answers";
    } catch (const EIdConnectTimeout& e) {
      EXPECT_EQ("Connect timed out.", e.Message());
    }
    const std::int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, timeout - 10);
    EXPECT_LT(elapsed, timeout + 2000);
    EXPECT_FALSE(client_->IsConnected());
    EXPECT_FALSE(client_->SocketHandler()->SocketHandle()->IsOpen());
    EXPECT_EQ((std::vector<std::string>{"hsConnecting Connecting to 127.0.0.1."}), events_);
  }
}

TEST_F(TCPClientTest, FailedConnectEmptiesTheInputBuffer) {
  ScriptedServer server({{0, {"leftover"}}});
  Target(kLoopback, server.Port());
  client_->Connect(-1);
  for (int i = 0; i < 100 && client_->ReceivedData()->Size() < 8; ++i)
    client_->FillInputBuffer(false, 5000, false);
  ASSERT_EQ(8, client_->ReceivedData()->Size());
  client_->DropSocket();
  EXPECT_EQ(8, client_->ReceivedData()->Size()) << "dropping keeps the buffered bytes";

  RefusingPort closed;
  client_->SetPort(closed.Port());
  EXPECT_THROW(client_->Connect(-1), EIdSocketError);
  EXPECT_EQ(0, client_->ReceivedData()->Size());
}

TEST_F(TCPClientTest, BindsTheLocalPortAsked) {
  ScriptedServer server({});
  Target(kLoopback, server.Port());
  const std::int32_t local = test::FreeLoopbackPort();
  client_->SetBoundIP(kLoopback);
  client_->SetBoundPort(local);
  client_->Connect(-1);
  EXPECT_EQ(local, client_->SocketHandler()->SocketHandle()->Port());
  EXPECT_EQ(kLoopback, client_->SocketHandler()->SocketHandle()->IP());
}

TEST_F(TCPClientTest, ErrorsAfterTheConnectStepDropTheSocket) {
  // An intercept's or OnConnected's failure ends the connect like any other error.
  for (bool inIntercept : {true, false}) {
    SCOPED_TRACE(inIntercept ? "intercept" : "OnConnected");
    client_ = std::make_unique<TIdTCPClient>();
    events_.clear();
    client_->OnStatus = StatusRecorder();
    TIdConnectionIntercept intercept;
    rtl::TComponent* seen = nullptr;
    intercept.OnConnect = [&](TIdConnectionIntercept* sender) {
      seen = sender->Connection();
      if (inIntercept) throw EIdException("intercept refused");
    };
    client_->SetIntercept(&intercept);
    client_->OnConnected = [&](rtl::TComponent*) {
      if (!inIntercept) throw EIdException("handler refused");
    };
    ScriptedServer server({});
    Target(kLoopback, server.Port());
    try {
      client_->Connect(-1);
      ADD_FAILURE() << "connect succeeded";
    } catch (const EIdException& e) {
      EXPECT_EQ(inIntercept ? "intercept refused" : "handler refused", e.Message());
    }
    EXPECT_EQ(client_.get(), seen);
    EXPECT_FALSE(client_->IsConnected());
    const bool reportedConnected = !events_.empty() && events_.back() == "hsConnected Connected.";
    EXPECT_EQ(!inIntercept, reportedConnected);
    client_->SetIntercept(nullptr);
  }
}

TEST_F(TCPClientTest, ConnectAndReadAllReadsToTheEndAndDisconnects) {
  ScriptedServer server({{0, {"hello ", "world"}}}, false);
  Target(kLoopback, server.Port());
  int disconnected = 0;
  client_->OnDisconnected = [&](rtl::TComponent*) { ++disconnected; };
  EXPECT_EQ("hello world", client_->ConnectAndReadAll());
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(nullptr, client_->IOHandler()) << "Disconnect frees the handler the client made";
  EXPECT_GE(disconnected, 1);
  EXPECT_EQ("hsDisconnected Disconnected.", events_.back());

  RefusingPort closed;
  client_->SetPort(closed.Port());
  EXPECT_THROW(client_->ConnectAndReadAll(), EIdSocketError);
}

TEST_F(TCPClientTest, ConnectsThroughSocksSetOnTheHandler) {
  // SOCKS 5 without authentication, the target given by name.
  ScriptedServer socks(
      {{3, {std::string("\x05\x00", 2)}},
       {18, {std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10), "data\n"}}});
  auto* handler = new TIdIOHandlerSocket(client_.get());
  client_->SetIOHandler(handler);
  handler->SocksInfo()->SetVersion(svSocks5);
  handler->SocksInfo()->SetHost(kLoopback);
  handler->SocksInfo()->SetPort(socks.Port());
  Target("far.example", 8080);
  client_->Connect(-1);
  EXPECT_EQ("data", client_->ReadLine());
  client_->DropSocket();
  EXPECT_EQ(std::string("\x05\x01\x00\x05\x01\x00\x03\x0b", 8) + "far.example" +
                std::string("\x1f\x90", 2),
            socks.Received());
}

}  // namespace
