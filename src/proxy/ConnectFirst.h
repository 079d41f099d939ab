#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "net/IdStack.h"
#include "proxy/Limits.h"

class TIdTCPClient;

namespace proxy {

// A client for one address of an origin, not yet connected. Its socket handler exists before the
// client is handed to another thread or watched, so that the connect only reuses it and never
// builds it while another thread may close the socket.
std::unique_ptr<TIdTCPClient> NewUpstreamClient(const TIdIPAddress& address, std::int32_t port);

// Connects to whichever of a host's addresses answers first, so that an address that never
// answers (an IPv6 route that leads nowhere, say) costs a short delay instead of the system's
// whole connect time-out.
//
// The addresses are tried in the order given, each on port. The next attempt starts as soon as
// the one started last has failed, or once it has been pending for the stagger. At most
// kMaxConnectAttempts are under way: when that many are and the next is due, the oldest is given
// up to make room, so that a name with many addresses that never answer holds a bounded number
// of threads and sockets and its later addresses still get their turn. The first attempt to
// connect wins: the call returns its client (the caller's from then on), and every other attempt
// has been closed and its thread ended by then. giveUp is asked every kConnectRaceLook; once it
// says so, every attempt is closed and EIdClosedSocket raised. Once the deadline has passed with
// no winner, every attempt is closed and EIdConnectTimeout raised. When every attempt fails, the
// error of the last one to fail by itself is raised again (an EIdSocketError with the system's
// error number for a refused or unreachable address); no addresses at all raise EIdSocketError
// WSAHOST_NOT_FOUND. Anything giveUp raises passes through, after the same clean-up.
//
// Threads: call it from the thread that will own the connection; giveUp is asked on that thread
// only. Each attempt connects on a thread of its own and touches only its own client; the calling
// thread closes a losing attempt's socket with DropSocket, the call a connection allows from
// another thread. Nothing of the race outlives the call.
std::unique_ptr<TIdTCPClient> ConnectFirst(const TIdIPAddresses& addresses, std::int32_t port,
                                           const std::function<bool()>& giveUp,
                                           std::chrono::milliseconds stagger = kConnectStagger,
                                           Deadline deadline = Deadline::Never());

}  // namespace proxy
