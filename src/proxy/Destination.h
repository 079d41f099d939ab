#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/IdStack.h"

class TIdTCPServer;

namespace proxy {

// One address a run may connect to, resolved once: the run connects to exactly this address, so
// what was judged is what is reached, whatever a name resolves to the next time.
struct Destination {
  // Dotted decimal without leading zeros, or compressed IPv6 text (a zone kept on a link-local
  // address, dropped elsewhere); an IPv4-mapped IPv6 address is the IPv4 address it stands for.
  std::string Address;
  TIdIPVersion IPVersion = Id_IPv4;
  std::int32_t Port = 0;
  // Judged by the address's bytes, whatever its text or zone: 127.0.0.0/8, ::1 or ::127.x.y.z;
  // 0.0.0.0 or ::.
  bool Loopback = false;
  bool Unspecified = false;
};

// An address as given (IPv4 in any form the stack reads, or IPv6 text) in the form above.
// Raises EConvertError for text that is no address.
Destination AddressOf(TIdStack& stack, const TIdIPAddress& address, std::int32_t port);

// Resolves host (a name or an address, IPv6 without brackets) to every address it has, in the
// order to try them. Raises as a connect would when the name is unknown. A look-up that hangs
// does not hold the run: once giveUp says the run is over it raises EIdClosedSocket at once, and
// the look-up is left to end on its own.
std::vector<Destination> Resolve(TIdStack& stack, const std::string& host, std::int32_t port,
                                 const std::function<bool()>& giveUp);

// Whether a client at this peer address may reach loopback services: only one on this machine.
bool IsLoopbackPeer(TIdStack& stack, const std::string& peerAddress);

// Whether the destination is one of the server's own listening addresses and ports, so that
// connecting would bring the request back to us. A binding on all addresses listens on every
// address of this machine of its version.
bool IsOwnListener(TIdStack& stack, TIdTCPServer& server, const Destination& destination);

}  // namespace proxy
