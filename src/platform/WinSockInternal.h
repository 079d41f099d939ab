#pragma once

// Shared by the files that implement WinSock2.h; not for the rest of the program.

#include <memory>

#include "platform/PosixSocket.h"
#include "platform/SocketTable.h"
#include "platform/WinSock2.h"

namespace winsock::detail {

// True between a successful WSAStartup and the WSACleanup that balances it.
bool Started();

// Sets the calling thread's last error and returns SOCKET_ERROR.
int Fail(int error);

// The WinSock number for an errno value (0 stays 0).
int ErrorFromErrno(int errnoValue);

// The process-wide table of socket numbers.
SocketTable& Sockets();

// The entry for s, referenced for the caller's whole call; null (with the last error set to
// WSANOTINITIALISED or WSAENOTSOCK) when there is none to use.
std::shared_ptr<SocketEntry> Use(SOCKET s);

// Writes the endpoint as a sockaddr_in or sockaddr_in6, as its family has it, to into (room for
// either) and gives its size.
int WriteEndpoint(const posix::Endpoint& endpoint, void* into);

// The calling thread's start-up check for calls that take no socket; sets the last error.
bool CheckStarted();

}  // namespace winsock::detail
