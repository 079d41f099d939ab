#pragma once

#include <cstdint>
#include <optional>

#include "net/IdStack.h"

class TIdTCPConnection;

// The waits a handler run makes on its two connections. Each is one select, bypassing the
// stack, so a socket closed meanwhile (the server dropping a client when it stops) reads as a
// failure instead of raising.
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

// One select on two sockets for readability, with a time-out in milliseconds: the one that is
// readable (the first when both are), or nothing when the wait ran out or failed.
std::optional<TIdStackSocketHandle> WaitEitherReadable(TIdStackSocketHandle first,
                                                       TIdStackSocketHandle second,
                                                       std::int32_t milliseconds);

// One select on one socket for room to send or bytes to read: Readable whenever there is
// something to read (or a close), room or not; Writable when there is only room.
enum class SendReadiness { Readable, Writable, TimedOut, Failed };
SendReadiness WaitSendable(TIdStackSocketHandle socket, std::int32_t milliseconds);

// What the peer of a socket that is not read meanwhile has done, seen by a peek that takes
// nothing: still there, finished sending (an orderly half-close), or reset (or the socket is
// gone). Safe on a socket another thread owns.
enum class PeerState { Open, HalfClosed, Reset };
PeerState PeekPeer(TIdStackSocketHandle socket);

// Whether the client has been dropped or has reset. A client that has only finished sending is
// still there to take its answer. Bytes it sends after its request are never forwarded; they are
// read past on the socket itself, since a read through the connection that found the half-close
// would close it.
bool ClientGone(TIdTCPConnection& client);

// Closes the connection with a reset instead of an orderly end, so that its peer sees that what
// it got was cut short rather than complete.
void ResetConnection(TIdTCPConnection& connection);
// While set, closing the connection, from any thread, resets it as ResetConnection does: for
// the time what its peer has got is not whole.
void ResetWhenClosed(TIdTCPConnection& connection, bool reset);

}  // namespace proxy
