#pragma once

#include <cstdint>

#include "net/IdStack.h"

class TIdTCPConnection;

// The waits a handler run makes on its two connections. Each is one select on one socket,
// bypassing the stack, so a socket closed meanwhile (the server dropping a client when it stops)
// reads as a failure instead of raising.
namespace proxy {

// What one wait for readability found; the numbers are those the probe has always given.
enum class Readiness : std::int32_t {
  Readable = 0,
  Failed = -1,  // select failed, for instance on a socket closed meanwhile
  TimedOut = -2,
};

// One select for readability.
Readiness ProbeReadable(TIdStackSocketHandle socket, std::int32_t microseconds);
// The same with a time-out in milliseconds.
Readiness WaitReadable(TIdStackSocketHandle socket, std::int32_t milliseconds);

// Whether the client has closed its end or been dropped. Bytes it sends after its request are
// never forwarded; reading them is how a close behind them is seen.
bool ClientGone(TIdTCPConnection& client);

}  // namespace proxy
