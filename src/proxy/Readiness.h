#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "net/IdStack.h"

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

// One select for readability, waiting at most `wait`.
Readiness WaitReadable(TIdStackSocketHandle socket, std::chrono::microseconds wait);
// Whether there is something to read (or a close) now, without waiting.
bool ReadableNow(TIdStackSocketHandle socket);

// One select on two sockets for readability: the one that is readable (the first when both are),
// or nothing when the wait ran out or failed.
std::optional<TIdStackSocketHandle> WaitEitherReadable(TIdStackSocketHandle first,
                                                       TIdStackSocketHandle second,
                                                       std::chrono::microseconds wait);

// One select on one socket for room to send or bytes to read: Readable whenever there is
// something to read (or a close), room or not; Writable when there is only room.
enum class SendReadiness { Readable, Writable, TimedOut, Failed };
SendReadiness WaitSendable(TIdStackSocketHandle socket, std::chrono::microseconds wait);

// What the peer of a socket that is not read meanwhile has done, seen by a peek that takes
// nothing: still there, finished sending (an orderly half-close), or reset (or the socket is
// gone). Safe on a socket another thread owns.
enum class PeerState { Open, HalfClosed, Reset };
PeerState PeekPeer(TIdStackSocketHandle socket);

}  // namespace proxy
