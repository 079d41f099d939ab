#pragma once

// Loopback helpers for the WinSock layer's tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "DetachedCall.h"
#include "platform/WinSock2.h"

namespace test {

// The C headers declare some of the same names globally; these make the tests' unqualified uses
// find the WinSock ones.
using winsock::fd_set;
using winsock::hostent;
using winsock::in_addr;
using winsock::linger;
using winsock::servent;
using winsock::sockaddr;
using winsock::sockaddr_in;
using winsock::timeval;
using winsock::u_int;
using winsock::u_long;
using winsock::u_short;

// Starts the layer for one test and balances the start-up afterwards; the last clean-up also
// closes whatever sockets the test left open.
class WinSockTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

winsock::sockaddr_in Loopback(std::uint16_t port);  // port in host byte order
std::uint16_t LocalPort(winsock::SOCKET s);

// A stream socket listening on 127.0.0.1 at a port the system picks.
winsock::SOCKET MakeListener(int backlog = 16);

struct Pair {
  winsock::SOCKET client = winsock::INVALID_SOCKET;
  winsock::SOCKET server = winsock::INVALID_SOCKET;
};
// Two connected stream sockets over loopback.
Pair ConnectedPair();

// Receives exactly size bytes unless the stream ends or fails first; returns what arrived.
std::string ReceiveExactly(winsock::SOCKET s, std::size_t size);
// Receives until the peer closes.
std::string ReceiveAll(winsock::SOCKET s);

// Polls the thread's scheduler state until it sleeps (it is then blocked in a call); false when
// the limit passes or the thread has ended.
bool WaitUntilSleeping(std::uint32_t threadId,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace test
