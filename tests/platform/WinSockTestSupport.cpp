#include "WinSockTestSupport.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace test {

using namespace winsock;

void WinSockTest::SetUp() {
  WSAData data{};
  ASSERT_EQ(0, WSAStartup(MakeWord(2, 2), &data));
}

void WinSockTest::TearDown() {
  EXPECT_EQ(0, WSACleanup());
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::uint16_t LocalPort(SOCKET s) {
  sockaddr_in address{};
  int length = sizeof address;
  EXPECT_EQ(0, getsockname(s, reinterpret_cast<sockaddr*>(&address), &length));
  return ntohs(address.sin_port);
}

SOCKET MakeListener(int backlog) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(INVALID_SOCKET, s) << WSAGetLastError();
  sockaddr_in address = Loopback(0);
  EXPECT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address)) << WSAGetLastError();
  EXPECT_EQ(0, listen(s, backlog)) << WSAGetLastError();
  return s;
}

Pair ConnectedPair() {
  SOCKET listener = MakeListener();
  Pair pair;
  pair.client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(LocalPort(listener));
  EXPECT_EQ(0, connect(pair.client, reinterpret_cast<sockaddr*>(&address), sizeof address))
      << WSAGetLastError();
  pair.server = accept(listener, nullptr, nullptr);
  EXPECT_NE(INVALID_SOCKET, pair.server) << WSAGetLastError();
  closesocket(listener);
  return pair;
}

std::string ReceiveExactly(SOCKET s, std::size_t size) {
  std::string received;
  char buffer[65536];
  while (received.size() < size) {
    int want = static_cast<int>(std::min(sizeof buffer, size - received.size()));
    int n = recv(s, buffer, want, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

std::string ReceiveAll(SOCKET s) {
  std::string received;
  char buffer[65536];
  for (;;) {
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

bool WaitUntilSleeping(std::uint32_t threadId, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/stat";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream stat(path);
    if (!stat) return false;  // the thread has ended
    std::stringstream text;
    text << stat.rdbuf();
    const std::string line = text.str();
    // The state follows the command name, which is in parentheses and may hold anything.
    auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S')
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace test
