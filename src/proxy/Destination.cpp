#include "proxy/Destination.h"

#include <optional>

#include "net/IdException.h"
#include "net/IdHostLookup.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "net/IdTCPServer.h"
#include "rtl/Exception.h"

namespace proxy {
namespace {

bool IsLoopback(std::uint32_t address) {
  return (address >> 24) == 127;
}

std::uint32_t HostOrder(TIdStack& stack, const std::string& address) {
  return stack.SockNetToHost32(stack.TextToAddressValue(address));
}

// An address this machine has: one a socket can be bound to.
bool IsLocalAddress(TIdStack& stack, const std::string& address) {
  const TIdStackSocketHandle socket = stack.SockOpen(Id_PF_INET, Id_SOCK_STREAM, 0);
  // Without a socket we cannot tell; taking it for ours errs on the side of no loop.
  if (socket == Id_INVALID_SOCKET) return true;
  const bool local = stack.SockBind(socket, Id_PF_INET, address, 0) != Id_SOCKET_ERROR;
  stack.SockClose(socket);
  return local;
}

}  // namespace

Destination Resolve(TIdStack& stack, const std::string& host, std::int32_t port,
                    const std::function<bool()>& giveUp) {
  const std::optional<std::string> found = HostToAddressUnless(host, giveUp);
  // Nobody is left to connect for: end quietly, as a dropped connection does.
  if (!found) throw EIdClosedSocket();
  Destination destination;
  winsock::in_addr address{};
  address.s_addr = stack.TextToAddressValue(*found);
  destination.Address = stack.AddressToText(address);
  destination.Value = stack.SockNetToHost32(address.s_addr);
  destination.Port = port;
  return destination;
}

bool IsLoopbackOrUnspecified(std::uint32_t address) {
  return IsLoopback(address) || address == 0;
}

bool IsLoopbackPeer(TIdStack& stack, const std::string& peerAddress) {
  try {
    return IsLoopback(HostOrder(stack, peerAddress));
  } catch (const Exception&) {
    return false;  // an address we cannot read is no proof of being local
  }
}

bool IsOwnListener(TIdStack& stack, TIdTCPServer& server, const Destination& destination) {
  const TIdSocketHandles& bindings = server.Bindings();
  bool anyOnAllAddresses = false;
  for (int i = 0; i < bindings.Count(); ++i) {
    const TIdSocketHandle* binding = bindings.BindingAt(i);
    if (binding->Port() != destination.Port) continue;
    const bool allAddresses = binding->IP().empty() || binding->IP() == "0.0.0.0";
    // 0.0.0.0 as a destination is this machine, whichever address it listens on.
    if (destination.Value == 0) return true;
    if (allAddresses) {
      if (IsLoopback(destination.Value)) return true;
      anyOnAllAddresses = true;
    } else if (HostOrder(stack, binding->IP()) == destination.Value) {
      return true;
    }
  }
  return anyOnAllAddresses && IsLocalAddress(stack, destination.Address);
}

}  // namespace proxy
