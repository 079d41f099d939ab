#include "net/IdStack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "net/IdException.h"
#include "net/IdStackWindows.h"
#include "rtl/Exception.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
TIdStackSocketHandle ListenOnLoopback(TIdStack& stack, std::int32_t& port) {
  TIdStackSocketHandle s = stack.NewSocket(Id_SOCK_STREAM);
  stack.CheckSocketResult(stack.SockBind(s, Id_PF_INET, "127.0.0.1", 0));
  stack.CheckSocketResult(stack.SockListen(s, 5));
  std::int32_t family = 0;
  std::string ip;
  stack.SockLocalAddress(s, family, ip, port);
  return s;
}

// A connected loopback pair: client and the server side accepted from a listener.
class LoopbackPair {
 public:
  explicit LoopbackPair(TIdStack& stack) : stack_(stack) {
    listener = ListenOnLoopback(stack_, listenPort);
    client = stack_.NewSocket(Id_SOCK_STREAM);
    stack_.CheckSocketResult(stack_.SockConnect(client, Id_PF_INET, "127.0.0.1", listenPort));
    server = stack_.SockAccept(listener, peerIp, peerPort);
    stack_.CheckSocketResult(server);
  }
  ~LoopbackPair() {
    for (TIdStackSocketHandle s : {client, server, listener})
      if (s != Id_INVALID_SOCKET) stack_.SockClose(s);
  }

  TIdStackSocketHandle listener = Id_INVALID_SOCKET;
  TIdStackSocketHandle client = Id_INVALID_SOCKET;
  TIdStackSocketHandle server = Id_INVALID_SOCKET;
  std::int32_t listenPort = 0;
  std::string peerIp;
  std::int32_t peerPort = 0;

 private:
  TIdStack& stack_;
};

// Holds one stack user for the test's lifetime, as a network component would.
class IdStackTest : public testing::Test {
 protected:
  void SetUp() override {
    AddStackUser();
    stack_ = GlobalStack();
    ASSERT_NE(stack_, nullptr);
  }
  void TearDown() override { RemoveStackUser(); }

  TIdStack& Stack() { return *stack_; }
  TIdStackSocketHandle Listen(std::int32_t& port) { return ListenOnLoopback(*stack_, port); }

  TIdStack* stack_ = nullptr;
};

// Error texts ---------------------------------------------------------------------------------

TEST_F(IdStackTest, SocketErrorTextCoversTheWholeTable) {
  struct Row {
    std::int32_t number;
    std::string text;
  };
  const Row rows[] = {
      {10004, "Interrupted system call."},
      {10009, "Bad file number."},
      {10013, "Access denied."},
      {10014, "Bad address."},
      {10022, "Invalid argument."},
      {10024, "Too many open files."},
      {10035, "Operation would block. "},
      {10036, "Operation now in progress."},
      {10037, "Operation already in progress."},
      {10038, "Socket operation on non-socket."},
      {10039, "Destination address required."},
      {10040, "Message too long."},
      {10041, "Protocol wrong type for socket."},
      {10042, "Bad protocol option."},
      {10043, "Protocol not supported."},
      {10044, "Socket type not supported."},
      {10045, "Operation not supported on socket."},
      {10046, "Protocol family not supported."},
      {10047, "Address family not supported by protocol family."},
      {10048, "Address already in use."},
      {10049, "Cannot assign requested address."},
      {10050, "Network is down."},
      {10051, "Network is unreachable."},
      {10052, "Net dropped connection or reset."},
      {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."},
      {10055, "No buffer space available."},
      {10056, "Socket is already connected."},
      {10057, "Socket is not connected."},
      {10058, "Cannot send or receive after socket is closed."},
      {10059, "Too many references, cannot splice."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10062, "Too many levels of symbolic links."},
      {10063, "File name too long."},
      {10064, "Host is down."},
      {10065, "No route to host."},
      {10066, "Directory not empty"},
      {11001, "Host not found."},
      // Numbers outside the table keep the heading and nothing after the line end.
      {0, ""},
      {-1, ""},
      {10001, ""},
      {10002, ""},
      {10003, ""},
      {10010, ""},
      {10011, ""},
      {10012, ""},
      {10067, ""},
      {10093, ""},
      {11002, ""},
      {12345, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(Stack().SocketErrorText(row.number),
              "Socket Error # " + std::to_string(row.number) + "\r\n" + row.text);
  }
  // "Host not found." belongs to this stack, not to the shared table.
  EXPECT_EQ(Stack().TIdStack::SocketErrorText(11001), "Socket Error # 11001\r\n");
}

// CheckSocketResult ---------------------------------------------------------------------------

TEST_F(IdStackTest, CheckSocketResultRaisesWithTheLibraryNumber) {
  const TIdStackSocketHandle notASocket = 0x7ffffff0;
  try {
    Stack().CheckSocketResult(Stack().SockClose(notASocket));
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
    EXPECT_EQ(e.Message(), "Socket Error # 10038\r\nSocket operation on non-socket.");
  }
  EXPECT_EQ(Stack().LastErrorCode(), 10038);
}

TEST_F(IdStackTest, CheckSocketResultIgnoresListedNumbers) {
  std::int32_t port = 0;
  TIdStackSocketHandle first = Listen(port);
  TIdStackSocketHandle second = Stack().NewSocket(Id_SOCK_STREAM);

  // Binding a port that is in use gives 10048, which the bind path ignores.
  EXPECT_TRUE(Stack().CheckSocketResult(Stack().SockBind(second, Id_PF_INET, "127.0.0.1", port),
                                        {10004, 10048}));
  EXPECT_EQ(Stack().LastErrorCode(), 10048);

  // Successful results are passed through without looking at the error number.
  EXPECT_FALSE(Stack().CheckSocketResult(0, {10048}));
  EXPECT_FALSE(Stack().CheckSocketResult(5));
  EXPECT_EQ(Stack().LastErrorCode(), 10048);

  // A list without the number does not help.
  EXPECT_THROW(
      Stack().CheckSocketResult(Stack().SockBind(second, Id_PF_INET, "127.0.0.1", port), {10038}),
      EIdSocketError);
  Stack().SockClose(second);
  Stack().SockClose(first);
}

TEST_F(IdStackTest, LastErrorCodeIsPerThread) {
  const TIdStackSocketHandle notASocket = 0x7ffffff0;
  EXPECT_TRUE(Stack().CheckSocketResult(Stack().SockClose(notASocket), {10038}));

  std::atomic<std::int32_t> otherBefore{-1};
  std::atomic<std::int32_t> otherAfter{-1};
  std::thread other([&] {
    otherBefore = Stack().LastErrorCode();
    std::int32_t port = 0;
    TIdStackSocketHandle first = ListenOnLoopback(Stack(), port);
    TIdStackSocketHandle second = Stack().NewSocket(Id_SOCK_STREAM);
    Stack().CheckSocketResult(Stack().SockBind(second, Id_PF_INET, "127.0.0.1", port), {10048});
    otherAfter = Stack().LastErrorCode();
    Stack().SockClose(second);
    Stack().SockClose(first);
  });
  other.join();
  EXPECT_EQ(otherBefore, 0);
  EXPECT_EQ(otherAfter, 10048);
  EXPECT_EQ(Stack().LastErrorCode(), 10038);
}

// Addresses -----------------------------------------------------------------------------------

TEST_F(IdStackTest, IsDottedQuad) {
  struct Row {
    const char* text;
    bool expected;
  };
  const Row rows[] = {
      {"1.2.3.4", true},    {"0.0.0.0", true},    {"255.255.255.255", true}, {"127.0.0.1", true},
      {"1.2.3", false},     {"1.2.3.4.5", false}, {"a.b.c.d", false},        {"", false},
      {"256.1.1.1", false}, {"1.2.3.-1", false},  {"1..3.4", false},         {"1.2.3.4.", false},
      {" 1.2.3.4", false},  {"1.2.3.999", false}, {"localhost", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(TIdStack::IsDottedQuad(row.text), row.expected);
  }
}

TEST_F(IdStackTest, AddressTextRoundTrip) {
  struct Row {
    const char* text;
    unsigned char bytes[4];
  };
  const Row rows[] = {
      {"192.168.0.1", {192, 168, 0, 1}},
      {"1.2.3.4", {1, 2, 3, 4}},
      {"0.0.0.0", {0, 0, 0, 0}},
      {"255.255.255.255", {255, 255, 255, 255}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    winsock::u_long value = Stack().TextToAddressValue(row.text);
    EXPECT_EQ(std::memcmp(&value, row.bytes, 4), 0);
    winsock::in_addr address{};
    std::memcpy(&address.s_addr, row.bytes, 4);
    EXPECT_EQ(Stack().AddressToText(address), row.text);
  }
  // Network order: the first part is the high byte of the host-order value.
  EXPECT_EQ(Stack().SockNetToHost32(Stack().TextToAddressValue("127.0.0.1")), 0x7f000001u);
}

TEST_F(IdStackTest, TextToAddressReadsTextAsInetAddrDoes) {
  const std::pair<const char*, const char*> read[] = {
      {"0177.0.0.1", "127.0.0.1"},
      {"127.0.0.010", "127.0.0.8"},
      {"127.1", "127.0.0.1"},
      {"0x7f.1", "127.0.0.1"},
      {"2130706433", "127.0.0.1"},
      {"1.2.3", "1.2.0.3"},
      {"255.255.255.255", "255.255.255.255"},
  };
  for (const auto& [text, expected] : read) {
    SCOPED_TRACE(text);
    winsock::in_addr address{Stack().TextToAddressValue(text)};
    EXPECT_EQ(Stack().AddressToText(address), expected);
  }

  for (const char* text : {"256.1.1.258", "1.x.3.4", "", "a.b.c.d", "08.0.0.1", "1.2.3.4.5",
                           "0xffffffff1", "1.2.3.4 "}) {
    SCOPED_TRACE(text);
    try {
      Stack().TextToAddressValue(text);
      ADD_FAILURE() << "converted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid IP address");
    }
  }
}

TEST_F(IdStackTest, HostToAddress) {
  EXPECT_EQ(Stack().HostToAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(Stack().HostToAddress("LocalHost"), "127.0.0.1");
  EXPECT_EQ(Stack().HostToAddress("127.0.0.1"), "127.0.0.1");
  // A dotted quad gives the plain text of the address it stands for, without any look-up; the
  // short and numeric forms reach the same address through the look-up of literal addresses.
  EXPECT_EQ(Stack().HostToAddress("10.0.0.1"), "10.0.0.1");
  for (const char* text : {"0177.0.0.1", "127.1", "0x7f.1", "2130706433", "0x7f.0.0.01"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Stack().HostToAddress(text), "127.0.0.1");
  }
  EXPECT_EQ(Stack().HostToAddress("127.0.0.010"), "127.0.0.8");
  // Not a dotted quad, so it goes to the name look-up, which finds nothing.
  EXPECT_THROW(Stack().HostToAddress("256.1.1.1"), EIdSocketError);
}

TEST_F(IdStackTest, UnknownHostRaises11001) {
  try {
    Stack().HostToAddress("no-such-host.invalid");
    ADD_FAILURE() << "resolved";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_EQ(Stack().LastErrorCode(), 11001);
}

TEST_F(IdStackTest, HostLookupsOfThisMachine) {
  EXPECT_EQ(Stack().SockHostByName("127.0.0.1"), "127.0.0.1");
  EXPECT_FALSE(Stack().SockHostByAddress("127.0.0.1").empty());

  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof(name) - 1), 0);
  EXPECT_EQ(Stack().SockLocalHostName(), name);

  std::vector<std::string> addresses = Stack().LocalAddressList();
  ASSERT_FALSE(addresses.empty());
  for (const std::string& address : addresses)
    EXPECT_TRUE(TIdStack::IsDottedQuad(address));
  EXPECT_EQ(Stack().FirstLocalAddress(), addresses.front());
}

TEST_F(IdStackTest, ServiceLookups) {
  EXPECT_EQ(Stack().SockServiceByName("8080"), 8080);
  try {
    Stack().SockServiceByName("nosuch");
    ADD_FAILURE() << "converted";
  } catch (const EIdInvalidServiceName& e) {
    EXPECT_EQ(e.Message(), "nosuch is not a valid service.");
  }
  if (!std::filesystem::exists("/etc/services"))
    GTEST_SKIP() << "no service database on this machine";
  EXPECT_EQ(Stack().SockServiceByName("http"), 80);
  std::vector<std::string> names = Stack().SockServiceByPort(80);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "http");
}

// Sockets and select --------------------------------------------------------------------------

TEST_F(IdStackTest, AcceptReportsThePeerAddress) {
  LoopbackPair pair(Stack());
  std::int32_t family = 0;
  std::string ip;
  std::int32_t port = 0;
  Stack().SockLocalAddress(pair.client, family, ip, port);
  EXPECT_EQ(family, winsock::AF_INET);
  EXPECT_EQ(pair.peerIp, "127.0.0.1");
  EXPECT_EQ(pair.peerPort, port);

  Stack().SockPeerAddress(pair.client, family, ip, port);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, pair.listenPort);

  const char message[] = "ping";
  EXPECT_EQ(Stack().SockSend(pair.client, message, 4, 0), 4);
  char received[8] = {};
  EXPECT_EQ(Stack().SockReceive(pair.server, received, sizeof(received), 0), 4);
  EXPECT_STREQ(received, "ping");

  EXPECT_THROW(Stack().SockPeerAddress(pair.listener, family, ip, port), EIdSocketError);
}

TEST_F(IdStackTest, SelectReportsOnlyReadySockets) {
  LoopbackPair pair(Stack());

  TIdSocketValues readable{pair.server, pair.listener};
  EXPECT_EQ(Stack().SockSelect(&readable, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(readable.empty());

  TIdSocketValues writable{pair.client};
  EXPECT_EQ(Stack().SockSelect(nullptr, &writable, nullptr, 0), 1);
  EXPECT_EQ(writable, TIdSocketValues{pair.client});

  ASSERT_EQ(Stack().SockSend(pair.client, "x", 1, 0), 1);
  readable = {pair.listener, pair.server};
  TIdSocketValues errors{pair.server};
  EXPECT_EQ(Stack().SockSelect(&readable, nullptr, &errors, IdTimeoutInfinite), 1);
  EXPECT_EQ(readable, TIdSocketValues{pair.server});
  EXPECT_TRUE(errors.empty());
}

TEST_F(IdStackTest, SelectWaitsForTheWholeTimeOut) {
  LoopbackPair pair(Stack());
  // 1100 ms is one whole second and 100000 microseconds: both parts must be kept.
  TIdSocketValues readable{pair.server};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Stack().SockSelect(&readable, nullptr, nullptr, 1100), 0);
  std::int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 1080);
  EXPECT_LT(elapsed, 3000);
}

TEST_F(IdStackTest, SelectRefusesMoreThan64BeforeWaiting) {
  std::int32_t port = 0;
  std::vector<TIdStackSocketHandle> listeners;
  for (int i = 0; i < 64; ++i)
    listeners.push_back(Listen(port));

  TIdSocketValues tooMany = listeners;
  tooMany.push_back(listeners.front());
  const TIdSocketValues before = tooMany;
  TIdSocketValues fine = listeners;
  // The oversized list may sit in any of the three places; the others must stay untouched.
  for (int place = 0; place < 3; ++place) {
    SCOPED_TRACE(place);
    TIdSocketValues* lists[3] = {&fine, &fine, &fine};
    lists[place] = &tooMany;
    Clock::time_point start = Clock::now();
    EXPECT_THROW(Stack().SockSelect(lists[0], lists[1], lists[2], 5000), EIdStackSetSizeExceeded);
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_EQ(tooMany, before);
    EXPECT_EQ(fine, listeners);
  }

  // Exactly 64 is allowed and waits: no connection is pending on any of them.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Stack().SockSelect(&fine, nullptr, nullptr, 150), 0);
  EXPECT_GE(MillisecondsSince(start), 140);
  EXPECT_TRUE(fine.empty());

  for (TIdStackSocketHandle s : listeners)
    Stack().SockClose(s);
}

// Whole-file send -----------------------------------------------------------------------------

class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char pattern[] = "/tmp/tramlet-stack-XXXXXX";
    int fd = ::mkstemp(pattern);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    path_ = pattern;
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST_F(IdStackTest, TransmitWholeFileSendsEveryByte) {
  EXPECT_EQ(FileSendHook(), &TransmitWholeFile);

  // Larger than the socket buffers, so the send only completes while the other side reads.
  std::string contents(600 * 1024, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i)
    contents[i] = static_cast<char>((i * 7919u) >> 3);
  TempFile file(contents);
  LoopbackPair pair(Stack());

  std::atomic<std::int64_t> sent{-1};
  std::thread sender([&] { sent = TransmitWholeFile(pair.client, file.Path()); });
  std::string received;
  char buffer[16384];
  Clock::time_point start = Clock::now();
  while (received.size() < contents.size() && MillisecondsSince(start) < 20000) {
    TIdSocketValues readable{pair.server};
    if (Stack().SockSelect(&readable, nullptr, nullptr, 1000) <= 0) continue;
    std::int32_t n = Stack().SockReceive(pair.server, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  sender.join();
  EXPECT_EQ(sent, static_cast<std::int64_t>(contents.size()));
  EXPECT_EQ(received.size(), contents.size());
  EXPECT_TRUE(received == contents);
}

TEST_F(IdStackTest, TransmitWholeFileGivesZeroOnFailure) {
  LoopbackPair pair(Stack());
  EXPECT_EQ(TransmitWholeFile(pair.client, "/tmp/tramlet-no-such-file-for-the-stack-test"), 0);
  EXPECT_EQ(TransmitWholeFile(pair.client, "/tmp"), 0);

  TempFile file("some bytes");
  TIdStackSocketHandle closed = Stack().NewSocket(Id_SOCK_STREAM);
  Stack().SockClose(closed);
  EXPECT_EQ(TransmitWholeFile(closed, file.Path()), 0);
}

}  // namespace
