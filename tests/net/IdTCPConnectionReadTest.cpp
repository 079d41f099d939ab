#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net/IdException.h"
#include "net/IdTCPConnectionFixture.h"
#include "support/WaitUntil.h"

namespace {

using test::ConnectionTest;
using test::Pattern;
using Clock = std::chrono::steady_clock;

using ReadAvailableTest = ConnectionTest;

TEST_F(ReadAvailableTest, ReturnsWhatArrivedThenWaitsUpToReadTimeout) {
  ASSERT_TRUE(peer.Send("abc"));
  EXPECT_EQ(conn->ReadAvailable(), "abc");

  conn->SetReadTimeout(300);
  auto start = Clock::now();
  try {
    conn->ReadAvailable();
    ADD_FAILURE() << "a silent peer gave no time-out";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read Timeout");
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(conn->IsConnected());
  ASSERT_TRUE(peer.Send("def"));
  EXPECT_EQ(conn->ReadAvailable(), "def");
  EXPECT_TRUE(events.empty());
}

TEST_F(ReadAvailableTest, PeerCloseIsAnnouncedOnceAndRaisesNothing) {
  peer.Close();
  EXPECT_EQ(conn->ReadAvailable(), "");
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->ReadAvailable(), "");
  EXPECT_EQ(events, (std::vector<std::string>{"hsDisconnected Disconnected.", "OnDisconnected"}));
}

TEST_F(ReadAvailableTest, BytesSentBeforeTheCloseAreDelivered) {
  ASSERT_TRUE(peer.Send("xyz"));
  peer.Close();
  std::string got;
  for (int i = 0; i < 3 && conn->IsConnected(); ++i)
    got += conn->ReadAvailable();
  EXPECT_EQ(got, "xyz");
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->ReadAvailable(), "");
}

TEST_F(ReadAvailableTest, ResetRaisesSocketErrorAndLeavesTheSocketOpen) {
  peer.Reset();
  try {
    conn->ReadAvailable();
    ADD_FAILURE() << "a reset raised nothing";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
  }
  EXPECT_TRUE(conn->IOHandler()->IsConnected());
}

TEST_F(ReadAvailableTest, AsksForRecvBufferSizeAndFiltersEveryByte) {
  conn->SetASCIIFilter(true);
  conn->SetRecvBufferSize(4);
  ASSERT_TRUE(
      peer.Send("\xE9"
                "ab\xFF"
                "\x80z"));
  EXPECT_EQ(conn->ReadAvailable(), "iab\x7F");
  EXPECT_EQ(conn->ReadAvailable(), std::string("\0z", 2));
  EXPECT_EQ(handler->ReceiveAsked, (std::vector<std::int32_t>{4, 4}));
  conn->SetRecvBufferSize(0);
  EXPECT_EQ(conn->RecvBufferSize(), 1);
}

TEST_F(ReadAvailableTest, InterceptSeesReceivedAndSentBytesAndTheDrop) {
  auto intercept = std::make_unique<TIdConnectionIntercept>();
  intercept->OnReceive = [](TIdConnectionIntercept*, rtl::TStream& stream) {
    std::string in(static_cast<std::size_t>(stream.Size()), '\0'), out;
    stream.ReadBuffer(in.data(), stream.Size());
    for (char c : in)
      out += std::string(2, c);
    stream.SetPosition(0);
    stream.WriteBuffer(out.data(), static_cast<std::int64_t>(out.size()));
  };
  intercept->OnSend = [](TIdConnectionIntercept*, rtl::TStream& stream) {
    stream.Seek(0, rtl::TSeekOrigin::soEnd);
    stream.WriteBuffer("!", 1);
  };
  int disconnects = 0;
  intercept->OnDisconnect = [&](TIdConnectionIntercept*) { ++disconnects; };
  conn->SetIntercept(intercept.get());

  ASSERT_TRUE(peer.Send("ab"));
  EXPECT_EQ(conn->ReadAvailable(), "aabb");
  conn->Write("x");
  EXPECT_EQ(peer.ReadExactly(2), "x!");
  conn->DropSocket();
  EXPECT_EQ(disconnects, 1);
  intercept.reset();
  EXPECT_EQ(conn->Intercept(), nullptr);
}

// Reading a long stream must take each receive's bytes once: no result may carry more than one
// receive, and every byte must come through in order.
TEST_F(ReadAvailableTest, LongStreamComesThroughOneReceiveAtATime) {
  constexpr std::int64_t kTotal = 50 * 1000 * 1000, kBlock = 1 << 20;
  std::thread sender([&] {
    for (std::int64_t sent = 0; sent < kTotal; sent += kBlock)
      if (!peer.Send(Pattern(sent, std::min(kBlock, kTotal - sent)))) break;
    peer.ShutdownWrite();
  });
  std::int64_t total = 0;
  std::size_t calls = 0;
  bool intact = true;
  while (conn->IsConnected() && calls < 10 * 1000 * 1000) {
    std::string got = conn->ReadAvailable();
    std::int32_t received = std::max(handler->ReceiveResults.at(calls++), 0);
    intact = intact && got.size() == static_cast<std::size_t>(received) &&
             got == Pattern(total, received);
    total += received;
  }
  sender.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(total, kTotal);
  EXPECT_EQ(handler->ReceiveAsked, std::vector<std::int32_t>(calls, 32768));
}

TEST_F(ReadAvailableTest, DropFromAnotherThreadEndsTheWaitQuietly) {
  std::thread server([&] {
    EXPECT_TRUE(test::WaitUntil([&] { return handler->Waits.load() > 0; }));
    conn->DropSocket();
  });
  std::string got = "unset";
  EXPECT_NO_THROW(got = conn->ReadAvailable());
  server.join();
  EXPECT_EQ(got, "");
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_TRUE(events.empty());
  std::string rest;
  EXPECT_TRUE(peer.ReadUntilClosed(rest));
}

// A watcher on another thread, as the proxy has one, while the owner reads into the peer's close:
// it sees the close without firing events or racing the owner (ThreadSanitizer checks the latter).
TEST_F(ReadAvailableTest, AWatcherOnAnotherThreadSeesTheCloseTheOwnerReads) {
  const TIdStackSocketHandle socket = conn->Socket();
  std::thread watcher([&] {
    EXPECT_TRUE(test::WaitUntil([&] {
      const TIdStackSocketHandle seen = conn->SocketFromAnotherThread();
      if (seen != socket && seen != Id_INVALID_SOCKET) ADD_FAILURE() << "socket " << seen;
      return conn->IsClosedFromAnotherThread();
    }));
  });
  peer.Close();
  EXPECT_EQ(conn->ReadAvailable(), "");
  watcher.join();
  EXPECT_EQ(events, (std::vector<std::string>{"hsDisconnected Disconnected.", "OnDisconnected"}));
}

TEST(UnattachedConnectionTest, ReadsNothingAndRefusesToWrite) {
  TIdTCPConnection conn;
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_NO_THROW(conn.Write(""));
  try {
    conn.Write("x");
    ADD_FAILURE() << "wrote without a handler";
  } catch (const EIdNotConnected& e) {
    EXPECT_EQ(e.Message(), "Not Connected");
  }
  EXPECT_EQ(conn.ReadAvailable(), "");
  EXPECT_THROW(conn.ReadLine(), EIdNotConnected);
  EXPECT_NO_THROW(conn.DropSocket());
}

}  // namespace
