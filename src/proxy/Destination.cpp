#include "proxy/Destination.h"

#include <algorithm>
#include <optional>

#include "net/IdException.h"
#include "net/IdHostLookup.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "rtl/Exception.h"

namespace proxy {
namespace {

// An address this machine has: one a socket can be bound to.
bool IsLocalAddress(TIdStack& stack, const Destination& destination) {
  const std::int32_t family = IdAddressFamily(destination.IPVersion);
  const TIdStackSocketHandle socket = stack.SockOpen(family, Id_SOCK_STREAM, 0);
  // Without a socket we cannot tell; taking it for ours errs on the side of no loop.
  if (socket == Id_INVALID_SOCKET) return true;
  const bool local = stack.SockBind(socket, family, destination.Address, 0) != Id_SOCKET_ERROR;
  stack.SockClose(socket);
  return local;
}

bool ListensOnAll(const TIdSocketHandle& binding) {
  return binding.IP().empty() || binding.IP() == "0.0.0.0" || binding.IP() == "::";
}

}  // namespace

Destination AddressOf(TIdStack& stack, const TIdIPAddress& address, std::int32_t port) {
  Destination destination;
  destination.Port = port;
  winsock::in_addr ipv4{};
  if (address.IPVersion == Id_IPv6) {
    winsock::in6_addr ipv6{};
    winsock::u_long zone = 0;
    stack.TextToAddress6(address.IP, ipv6, zone);
    const auto* bytes = ipv6.s6_addr;
    const bool leadingZeros = std::all_of(bytes, bytes + 10, [](auto b) { return b == 0; });
    if (!leadingZeros || bytes[10] != 0xff || bytes[11] != 0xff) {
      destination.IPVersion = Id_IPv6;
      // The kernel heeds a zone on a link-local address alone; elsewhere the address is reached
      // without it, and so it is written.
      const bool linkLocal = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
      destination.Address = TIdStack::AddressToText6(ipv6, linkLocal ? zone : 0);
      // ::1 and :: are the IPv4-compatible forms of 0.0.0.1 and 0.0.0.0; those of 127.0.0.0/8
      // are taken for loopback too, as a host that routes them reaches itself.
      if (leadingZeros && bytes[10] == 0 && bytes[11] == 0) {
        const std::uint32_t value = (std::uint32_t{bytes[12]} << 24) |
                                    (std::uint32_t{bytes[13]} << 16) |
                                    (std::uint32_t{bytes[14]} << 8) | bytes[15];
        destination.Loopback = value == 1 || (value >> 24) == 127;
        destination.Unspecified = value == 0;
      }
      return destination;
    }
    // An IPv6 socket reaches no IPv4-mapped address: it is the IPv4 one it stands for.
    std::copy(bytes + 12, bytes + 16, reinterpret_cast<unsigned char*>(&ipv4.s_addr));
  } else {
    ipv4.s_addr = stack.TextToAddressValue(address.IP);
  }
  destination.Address = stack.AddressToText(ipv4);
  const std::uint32_t value = stack.SockNetToHost32(ipv4.s_addr);
  destination.Loopback = (value >> 24) == 127;
  destination.Unspecified = value == 0;
  return destination;
}

std::vector<Destination> Resolve(TIdStack& stack, const std::string& host, std::int32_t port,
                                 const std::function<bool()>& giveUp) {
  const std::optional<TIdIPAddresses> found = HostToAddressesUnless(host, giveUp);
  // Nobody is left to connect for: end quietly, as a dropped connection does.
  if (!found) throw EIdClosedSocket();
  std::vector<Destination> destinations;
  for (const TIdIPAddress& address : *found)
    destinations.push_back(AddressOf(stack, address, port));
  return destinations;
}

bool IsLoopbackPeer(TIdStack& stack, const std::string& peerAddress) {
  try {
    const TIdIPVersion version = TIdStack::IsIPv6Address(peerAddress) ? Id_IPv6 : Id_IPv4;
    const Destination peer = AddressOf(stack, {peerAddress, version}, 0);
    // Not an IPv4-compatible form: no packet from this machine comes from one.
    return peer.Loopback && (peer.IPVersion == Id_IPv4 || peer.Address == "::1");
  } catch (const Exception&) {
    return false;  // an address we cannot read is no proof of being local
  }
}

bool IsOwnListener(TIdStack& stack, TIdTCPServer& server, const Destination& destination) {
  std::vector<const TIdSocketHandle*> bindings;
  const TIdSocketHandles& given = server.Bindings();
  bindings.reserve(static_cast<std::size_t>(given.Count()) + 1);
  for (int i = 0; i < given.Count(); ++i)
    bindings.push_back(given.BindingAt(i));
  if (const TIdSocketHandle* ipv6 = server.IPv6Binding()) bindings.push_back(ipv6);
  bool anyOnAllAddresses = false;
  for (const TIdSocketHandle* binding : bindings) {
    if (binding->Port() != destination.Port) continue;
    // The unspecified address as a destination is this machine, whichever address it listens on.
    if (destination.Unspecified) return true;
    if (binding->IPVersion() != destination.IPVersion) continue;
    if (ListensOnAll(*binding)) {
      if (destination.Loopback) return true;
      anyOnAllAddresses = true;
    } else if (AddressOf(stack, {binding->IP(), binding->IPVersion()}, 0).Address ==
               destination.Address) {
      return true;
    }
  }
  return anyOnAllAddresses && IsLocalAddress(stack, destination);
}

}  // namespace proxy
