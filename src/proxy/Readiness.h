#pragma once

#include <cstdint>

#include "net/IdStack.h"

class TIdTCPConnection;

// The waits a handler run makes on its two connections. Each is one select on one socket,
// bypassing the stack, so a socket closed meanwhile (the server dropping a client when it stops)
// reads as a failure instead of raising.
namespace proxy {

// One select for readability: 0 when readable, -2 when the time-out passed, -1 when select fails
// (for instance on a socket closed meanwhile).
std::int32_t ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds);
// The same with a time-out in milliseconds.
std::int32_t WaitReadable(TIdStackSocketHandle socket, std::int32_t milliseconds);

// Whether the client has closed its end or been dropped. Bytes it sends after its request are
// never forwarded; reading them is how a close behind them is seen.
bool ClientGone(TIdTCPConnection& client);

}  // namespace proxy
