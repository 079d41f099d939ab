#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TIdStack;
class TIdTCPServer;

namespace proxy {

// Where a run is about to connect, resolved once: the run connects to exactly this address, so
// what was judged is what is reached, whatever a name resolves to the next time.
struct Destination {
  std::string Address;      // dotted decimal, no leading zeros
  std::uint32_t Value = 0;  // the address in host order
  std::int32_t Port = 0;
};

// Resolves host (a name or an address in any form the stack reads) and gives the address in a
// form every reader takes the same way. Raises as a connect would when the name is unknown.
// A look-up that hangs does not hold the run: once giveUp says the run is over it raises
// EIdClosedSocket at once, and the look-up is left to end on its own.
Destination Resolve(TIdStack& stack, const std::string& host, std::int32_t port,
                    const std::function<bool()>& giveUp);

// 127.0.0.0/8 and 0.0.0.0: services there trust whoever reaches them to be this machine.
bool IsLoopbackOrUnspecified(std::uint32_t address);

// Whether a client at this peer address may reach loopback services: only one on this machine.
bool IsLoopbackPeer(TIdStack& stack, const std::string& peerAddress);

// Whether the destination is one of the server's own listening addresses and ports, so that
// connecting would bring the request back to us. A binding on all addresses listens on every
// address of this machine.
bool IsOwnListener(TIdStack& stack, TIdTCPServer& server, const Destination& destination);

}  // namespace proxy
