#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/IdStack.h"

class TIdTCPConnection;

// What a run does with its connections besides relaying: reading into a buffer, sending until the
// origin speaks, reading and dropping what is not forwarded, and closing with a reset.
namespace proxy {

class RelayBuffer;

// Receives what the connection has (waiting for it when nothing is there yet) into the buffer's
// room for at most `wanted` bytes; 0 once the peer has closed.
std::size_t ReceiveInto(TIdTCPConnection& from, RelayBuffer& buffer, std::int64_t wanted);

// Sends bytes upstream until the origin has something to say (an early answer, or the close
// after one); the count sent. A send that fails with the answer waiting is no error: an origin
// that answers and closes resets what it did not read. Raises EIdNotConnected once the socket has
// been dropped (by the watch: the client left or a stop came).
std::size_t SendUnlessAnswered(TIdTCPConnection& upstream, std::string_view bytes);

// Reads and drops what the peer sends until it is silent for `quiet`, has sent maxBytes or has
// finished sending; false when the socket failed (a reset, or it was closed). On the socket
// itself: a read through the connection that found the close would close the connection too.
bool Drain(TIdStackSocketHandle socket, std::int64_t maxBytes, std::chrono::microseconds quiet);

// Writes an answer the proxy gives itself and closes the connection after it.
void AnswerAndClose(TIdTCPConnection& client, const std::string& answer);

// The address the client connected from, as the server accepted it.
std::string PeerAddressOf(const TIdTCPConnection& client);

// Whether the client has been dropped or has reset. A client that has only finished sending is
// still there to take its answer. Bytes it sends after its request are never forwarded; they are
// read past.
bool ClientGone(TIdTCPConnection& client);

// Closes the connection with a reset instead of an orderly end, so that its peer sees that what
// it got was cut short rather than complete.
void ResetConnection(TIdTCPConnection& connection);
// While set, closing the connection, from any thread, resets it as ResetConnection does: for
// the time what its peer has got is not whole.
void ResetWhenClosed(TIdTCPConnection& connection, bool reset);

}  // namespace proxy
