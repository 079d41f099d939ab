#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include <unistd.h>

#include "net/IdException.h"
#include "net/IdStackWindows.h"
#include "net/IdTCPConnectionFixture.h"

namespace {

using test::ConnectionTest;
using test::Pattern;

using WriteTest = ConnectionTest;

TEST_F(WriteTest, WriteLineGoesOutInOneSend) {
  conn->WriteLine("abc");
  EXPECT_EQ(handler->SendOffered, (std::vector<std::int32_t>{5}));
  EXPECT_EQ(peer.ReadExactly(5), "abc\r\n");
}

TEST_F(WriteTest, EverySendIsOfferedAllRemainingBytes) {
  handler->SendCap = 1000;
  conn->Write(Pattern(0, 3500));
  EXPECT_EQ(handler->SendOffered, (std::vector<std::int32_t>{3500, 2500, 1500, 500}));
  EXPECT_EQ(peer.ReadExactly(3500), Pattern(0, 3500));
}

TEST_F(WriteTest, WritingAfterThePeerClosedRaisesEvenWithBytesBuffered) {
  ASSERT_TRUE(peer.Send("abc"));
  peer.Close();
  for (int i = 0; i < 3 && conn->IsConnected(); ++i)
    conn->FillInputBuffer(false, -1, true);
  ASSERT_EQ(conn->ReceivedData()->ToString(), "abc");
  try {
    conn->Write("x");
    ADD_FAILURE() << "wrote to a closed connection";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(conn->ReadAvailable(), "abc");
}

TEST_F(WriteTest, SendAfterResetDropsTheSocketAndRaises) {
  peer.Reset();
  int code = 0;
  for (int i = 0; i < 100 && code == 0; ++i) {
    try {
      conn->Write("x");
    } catch (const EIdSocketError& e) {
      code = e.ErrorCode();
    }
  }
  EXPECT_EQ(code, 10054);
  EXPECT_FALSE(conn->IOHandler()->IsConnected());
}

TEST_F(WriteTest, WriteInt32InEitherByteOrder) {
  conn->WriteInt32(0x01020304, true);
  conn->WriteInt32(0x01020304, false);
  EXPECT_EQ(peer.ReadExactly(8), "\x01\x02\x03\x04\x04\x03\x02\x01");
}

class StreamWriteTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    conn->OnWorkBegin = [this](TIdComponent*, TWorkMode mode, std::int32_t max) {
      work.push_back({mode == wmWrite ? 'B' : 'b', max});
    };
    conn->OnWork = [this](TIdComponent*, TWorkMode mode, std::int32_t count) {
      work.push_back({mode == wmWrite ? 'W' : 'w', count});
    };
    conn->OnWorkEnd = [this](TIdComponent*, TWorkMode mode) {
      work.push_back({mode == wmWrite ? 'E' : 'e', 0});
    };
  }
  std::vector<std::pair<char, std::int32_t>> work;
};

TEST_F(StreamWriteTest, SendsInSendBufferSizeBlocksAndReportsWork) {
  rtl::TMemoryStream stream;
  stream.WriteBuffer(Pattern(0, 70000).data(), 70000);
  conn->WriteFromStream(stream);
  EXPECT_EQ(handler->SendOffered, (std::vector<std::int32_t>{32768, 32768, 4464}));
  EXPECT_EQ(work, (std::vector<std::pair<char, std::int32_t>>{
                      {'B', 70000}, {'W', 32768}, {'W', 65536}, {'W', 70000}, {'E', 0}}));
  EXPECT_EQ(peer.ReadExactly(70000), Pattern(0, 70000));
}

TEST_F(StreamWriteTest, PartOfAStreamWithItsByteCount) {
  rtl::TMemoryStream stream;
  stream.WriteBuffer("0123456789abcdef", 16);
  stream.SetPosition(5);
  conn->WriteFromStream(stream, false, true, 6);
  EXPECT_EQ(peer.ReadExactly(10), std::string("\0\0\0\x06"
                                              "56789a",
                                              10));
}

TEST_F(StreamWriteTest, AStreamThatEndsEarlyRaisesAndEndsTheWork) {
  rtl::TMemoryStream stream;
  stream.WriteBuffer("0123", 4);
  EXPECT_THROW(conn->WriteFromStream(stream, true, false, 10), EIdNoDataToRead);
  ASSERT_FALSE(work.empty());
  EXPECT_EQ(work.back().first, 'E');
  EXPECT_EQ(peer.ReadExactly(4), "0123");
}

TEST_F(StreamWriteTest, ReadToEndReportsReadWorkButReadAvailableDoesNot) {
  ASSERT_TRUE(peer.Send("abc"));
  EXPECT_EQ(conn->ReadAvailable(), "abc");
  EXPECT_TRUE(work.empty());

  ASSERT_TRUE(peer.Send(Pattern(0, 100000)));
  peer.Close();
  EXPECT_EQ(conn->ReadToEnd(), Pattern(0, 100000));
  ASSERT_GE(work.size(), 3u);
  EXPECT_EQ(work.front(), std::make_pair('b', 0));
  EXPECT_EQ(work.back(), std::make_pair('e', 0));
  std::int32_t last = 0;
  for (std::size_t i = 1; i + 1 < work.size(); ++i) {
    EXPECT_EQ(work[i].first, 'w');
    EXPECT_GT(work[i].second, last);
    EXPECT_LE(work[i].second - last, 32768);
    last = work[i].second;
  }
  EXPECT_EQ(last, 100000);
}

class FileWriteTest : public ConnectionTest, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    SetFileSendHook(&TransmitWholeFile);
    std::filesystem::remove(path);
  }
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("tramlet-conn-" + std::to_string(::getpid()) + ".bin");
};

TEST_P(FileWriteTest, SendsTheWholeFileOneWayOrTheOther) {
  const bool allowTransmit = GetParam();
  const std::string content = Pattern(7, 100000);
  {
    rtl::TFileStream file(path.string(), rtl::TFileStream::Mode::fmCreate);
    file.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
  }
  EXPECT_EQ(conn->WriteFileContents(path.string(), allowTransmit), 100000);
  EXPECT_EQ(peer.ReadExactly(100000), content);
  // The whole-file routine goes straight to the socket, around the handler's sends.
  EXPECT_EQ(handler->SendOffered.empty(), allowTransmit);

  SetFileSendHook(nullptr);
  EXPECT_EQ(conn->WriteFileContents(path.string(), allowTransmit), 100000);
  EXPECT_EQ(peer.ReadExactly(100000), content);
  EXPECT_FALSE(handler->SendOffered.empty());

  std::string missing = path.string() + ".missing";
  try {
    conn->WriteFileContents(missing, allowTransmit);
    ADD_FAILURE() << "no error for a missing file";
  } catch (const EIdFileNotFound& e) {
    EXPECT_EQ(e.Message(), "File \"" + missing + "\" not found");
  }
}

INSTANTIATE_TEST_SUITE_P(TransmitAllowed, FileWriteTest, ::testing::Bool());

using ReplyTest = ConnectionTest;

TEST_F(ReplyTest, SendCommandReadsAMultiLineReply) {
  ASSERT_TRUE(peer.Send("\r\n  \r\n250-first\r\n250-second\r\n250 last\r\n"));
  EXPECT_EQ(conn->SendCommand("HELO x", {220, 250}), 250);
  EXPECT_EQ(peer.ReadExactly(8), "HELO x\r\n");
  EXPECT_EQ(conn->LastReply()->Text(), (std::vector<std::string>{"first", "second", "last"}));
}

TEST_F(ReplyTest, AnUnexpectedCodeRaisesWithTheReplyText) {
  ASSERT_TRUE(peer.Send("550-no\r\n550 way\r\n421 bye\r\n"));
  try {
    conn->ReadReply({250});
    ADD_FAILURE() << "550 was accepted";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode(), 550);
    EXPECT_EQ(e.Message(), "no\r\nway\r\n");
  }
  EXPECT_THROW(conn->RaiseReplyError(IdExceptionClass<EIdConnectException>()), EIdConnectException);
  EXPECT_EQ(conn->ReadReply({}), 421);
}

TEST_F(ReplyTest, WritesRepliesAndDotTerminatedLines) {
  TIdRFCReply reply;
  conn->WriteReply(reply);  // no content, nothing sent
  reply.SetNumericCode(250);
  reply.SetText({"ok"});
  conn->WriteReply(reply);
  conn->WriteDotTerminated({"a", ".", ".b"});
  const std::string expected = "250 ok\r\na\r\n..\r\n.b\r\n.\r\n";
  EXPECT_EQ(peer.ReadExactly(expected.size()), expected);
}

using CloseTest = ConnectionTest;

TEST_F(CloseTest, DisconnectAnnouncesInOrderAndFreesTheOwnedHandler) {
  std::atomic<bool> destroyed = false;
  handler->Destroyed = &destroyed;
  conn->Disconnect();
  EXPECT_EQ(events, (std::vector<std::string>{"hsDisconnecting Disconnecting.", "OnDisconnected",
                                              "hsDisconnected Disconnected."}));
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(conn->IOHandler(), nullptr);
  EXPECT_FALSE(conn->OwnsIOHandler());
  std::string rest;
  EXPECT_TRUE(peer.ReadUntilClosed(rest));
}

TEST_F(CloseTest, DropSocketIsSilentAndKeepsHandlerAndBuffer) {
  ASSERT_TRUE(peer.Send("q"));
  ASSERT_EQ(conn->FillInputBuffer(true, -1, true), 1);
  conn->DropSocket();
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(conn->IOHandler(), handler);
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->ReadAvailable(), "q");
  std::string rest;
  EXPECT_TRUE(peer.ReadUntilClosed(rest));
  EXPECT_TRUE(events.empty());
}

// A handler that is not a socket handler, for the property rules only.
class PlainHandler : public TIdIOHandler {
 public:
  bool IsConnected() override { return false; }
  bool WaitReadable(std::int32_t) override { return false; }
  std::int32_t Receive(void*, std::int32_t) override { return 0; }
  std::int32_t Send(const void*, std::int32_t) override { return 0; }
};

TEST_F(CloseTest, HandlerPropertyFreesWhatItOwnsAndForgetsWhatIsDestroyed) {
  std::atomic<bool> destroyed = false;
  handler->Destroyed = &destroyed;
  auto external = std::make_unique<test::RecordingIOHandler>();
  conn->SetIOHandler(external.get());
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(conn->OwnsIOHandler());
  EXPECT_EQ(conn->SocketHandler(), external.get());

  PlainHandler plain;
  conn->SetIOHandler(&plain);
  EXPECT_EQ(conn->SocketHandler(), nullptr);
  conn->SetIOHandler(external.get());
  external.reset();
  EXPECT_EQ(conn->IOHandler(), nullptr);
  EXPECT_EQ(conn->SocketHandler(), nullptr);
  EXPECT_FALSE(conn->IsConnected());
}

}  // namespace
