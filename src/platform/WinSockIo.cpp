// Socket creation, connection and data transfer.
//
// Every descriptor is non-blocking underneath; a WinSock blocking call is the non-blocking call,
// and when that would block, a wait in SocketEntry::Wait followed by another try. closesocket
// from another thread shuts the descriptor down under that wait, which ends it: the call then
// fails with WSAEINTR, as a blocking call cancelled on Windows does. A call that finds its socket
// already closed fails with WSAENOTSOCK.

#include <cerrno>
#include <cstring>

#include "platform/PosixSocket.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"

namespace winsock {

namespace {

using detail::Fail;
using detail::SocketEntry;
using detail::WaitResult;

constexpr int kAddressSize = static_cast<int>(sizeof(sockaddr_in));
constexpr int kAddress6Size = static_cast<int>(sizeof(sockaddr_in6));

int AddressSize(bool ipv6) {
  return ipv6 ? kAddress6Size : kAddressSize;
}

int ErrnoError(long negatedErrno) {
  return detail::ErrorFromErrno(static_cast<int>(-negatedErrno));
}

int FailErrno(long negatedErrno) {
  return Fail(ErrnoError(negatedErrno));
}

// Failure for the calls that return a socket or a flag instead of SOCKET_ERROR.
SOCKET NoSocket(int error) {
  Fail(error);
  return INVALID_SOCKET;
}

bool Failed(int error) {
  Fail(error);
  return false;
}

// Reads a WinSock address of the socket's family; sets the last error and returns false when it
// is not one.
bool ReadAddress(const sockaddr* name, int namelen, bool ipv6, posix::Endpoint* endpoint) {
  if (!name || namelen < AddressSize(ipv6)) {
    Fail(WSAEFAULT);
    return false;
  }
  std::int16_t family;
  std::memcpy(&family, name, sizeof family);
  if (family != (ipv6 ? AF_INET6 : AF_INET)) {
    Fail(WSAEAFNOSUPPORT);
    return false;
  }
  if (ipv6) {
    sockaddr_in6 address;
    std::memcpy(&address, name, sizeof address);
    endpoint->family = posix::Family::Ipv6;
    std::memcpy(endpoint->address6.data(), address.sin6_addr.s6_addr, endpoint->address6.size());
    endpoint->port = address.sin6_port;
    endpoint->flowInfo = address.sin6_flowinfo;
    endpoint->scopeId = address.sin6_scope_id;
    return true;
  }
  sockaddr_in address;
  std::memcpy(&address, name, sizeof address);
  endpoint->address = address.sin_addr.s_addr;
  endpoint->port = address.sin_port;
  return true;
}

// An output address is either absent or has room for an address of the socket's family.
bool AddressRoom(const sockaddr* name, const int* namelen, bool ipv6) {
  return !name || (namelen && *namelen >= AddressSize(ipv6));
}

void WriteAddress(const posix::Endpoint& endpoint, sockaddr* name, int* namelen) {
  *namelen = detail::WriteEndpoint(endpoint, name);
}

// Translates WinSock message flags; false when one is not allowed here.
bool TranslateFlags(int flags, int allowed, int* translated) {
  if (flags & ~allowed) return false;
  *translated = ((flags & MSG_OOB) ? posix::kMsgOob : 0) |
                ((flags & MSG_PEEK) ? posix::kMsgPeek : 0) |
                ((flags & MSG_DONTROUTE) ? posix::kMsgDontRoute : 0);
  return true;
}

// Waits until the socket may be ready for another try: 0, or the WinSock error to fail with.
int AwaitReady(SocketEntry& entry, short events, std::uint32_t timeoutMs) {
  int error = 0;
  switch (entry.Wait(events, timeoutMs, &error)) {
    case WaitResult::Ready:
      return 0;
    case WaitResult::TimedOut:
      return WSAETIMEDOUT;
    case WaitResult::Closed:
      return WSAEINTR;
    case WaitResult::Failed:
      return detail::ErrorFromErrno(error);
  }
  return WSAEINVAL;
}

SOCKET Register(std::shared_ptr<SocketEntry> entry) {
  SOCKET s = detail::Sockets().Add(std::move(entry));
  if (s == INVALID_SOCKET) Fail(WSAEMFILE);  // every number has been used
  return s;
}

// accept failures that concern one pending connection, not the listening socket.
bool TransientAcceptError(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

int Receive(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0) || !AddressRoom(from, fromlen, entry->Ipv6()))
    return Fail(WSAEFAULT);
  int sysFlags = 0;
  if (!TranslateFlags(flags, MSG_OOB | MSG_PEEK, &sysFlags)) return Fail(WSAEOPNOTSUPP);
  if (entry->ReceiveShut()) return Fail(WSAESHUTDOWN);

  // A datagram longer than the buffer is an error on WinSock; the kernel tells its real length.
  const bool datagram = !entry->Stream();
  if (datagram) sysFlags |= posix::kMsgTrunc;
  const short events = (flags & MSG_OOB) ? posix::kPollPri : posix::kPollIn;
  for (;;) {
    posix::Endpoint source;
    long received = posix::Receive(entry->Descriptor(), buf, static_cast<std::size_t>(len),
                                   sysFlags, datagram && from ? &source : nullptr);
    // A close from another thread may have shut the descriptor down under us: that is the close,
    // not the peer's end of the stream.
    if (received == 0 && len > 0 && entry->Closed()) return Fail(WSAEINTR);
    if (received >= 0) {
      if (datagram && from) WriteAddress(source, from, fromlen);
      if (datagram && received > len) return Fail(WSAEMSGSIZE);
      return static_cast<int>(received);
    }
    if (received == -EINTR) continue;
    if (received != -EAGAIN) return entry->Closed() ? Fail(WSAEINTR) : FailErrno(received);
    if (int error = AwaitReady(*entry, events, entry->ReceiveTimeout())) return Fail(error);
  }
}

// A stream send goes on until every byte is out, as a blocking WinSock send does.
int Send(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int sysFlags = 0;
  if (!TranslateFlags(flags, MSG_OOB | MSG_DONTROUTE, &sysFlags)) return Fail(WSAEOPNOTSUPP);
  posix::Endpoint target;
  const posix::Endpoint* destination = nullptr;
  if (to && !entry->Stream()) {  // a connected stream ignores the address
    if (!ReadAddress(to, tolen, entry->Ipv6(), &target)) return SOCKET_ERROR;
    destination = &target;
  }
  if (entry->SendShut()) return Fail(WSAESHUTDOWN);

  int total = 0;
  for (;;) {
    long sent = posix::Send(entry->Descriptor(), buf + total, static_cast<std::size_t>(len - total),
                            sysFlags, destination);
    if (sent >= 0) {
      total += static_cast<int>(sent);
      if (!entry->Stream() || total >= len) return total;
      continue;
    }
    if (sent == -EINTR) continue;
    if (sent == -EAGAIN) {
      if (int error = AwaitReady(*entry, posix::kPollOut, entry->SendTimeout())) return Fail(error);
      continue;
    }
    if (entry->Closed()) return Fail(WSAEINTR);
    if (sent == -EPIPE && entry->SendShut()) return Fail(WSAESHUTDOWN);
    return FailErrno(sent);
  }
}

}  // namespace

namespace detail {

int WriteEndpoint(const posix::Endpoint& endpoint, void* into) {
  if (endpoint.family == posix::Family::Ipv6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = endpoint.port;
    address.sin6_flowinfo = endpoint.flowInfo;
    std::memcpy(address.sin6_addr.s6_addr, endpoint.address6.data(), endpoint.address6.size());
    address.sin6_scope_id = endpoint.scopeId;
    std::memcpy(into, &address, sizeof address);
    return kAddress6Size;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = endpoint.port;
  address.sin_addr.s_addr = endpoint.address;
  std::memcpy(into, &address, sizeof address);
  return kAddressSize;
}

}  // namespace detail

SOCKET socket(int af, int type, int protocol) {
  if (!detail::CheckStarted()) return INVALID_SOCKET;
  if (af != AF_INET && af != AF_INET6) return NoSocket(WSAEAFNOSUPPORT);
  const bool ipv6 = af == AF_INET6;
  posix::SocketKind kind;
  switch (type) {
    case SOCK_STREAM:
      kind = posix::SocketKind::Stream;
      break;
    case SOCK_DGRAM:
      kind = posix::SocketKind::Datagram;
      break;
    case SOCK_RAW:
      kind = posix::SocketKind::Raw;
      break;
    default:
      return NoSocket(WSAESOCKTNOSUPPORT);
  }
  posix::Protocol proto;
  switch (protocol) {
    case 0:
      proto = posix::Protocol::Default;
      break;
    case IPPROTO_TCP:
      proto = posix::Protocol::Tcp;
      break;
    case IPPROTO_UDP:
      proto = posix::Protocol::Udp;
      break;
    case IPPROTO_ICMP:
      proto = posix::Protocol::Icmp;
      break;
    default:
      return NoSocket(WSAEPROTONOSUPPORT);
  }
  int fd = posix::OpenSocket(ipv6 ? posix::Family::Ipv6 : posix::Family::Ipv4, kind, proto);
  if (fd < 0) return NoSocket(ErrnoError(fd));
  auto entry = std::make_shared<SocketEntry>(fd, kind == posix::SocketKind::Stream,
                                             SocketEntry::State::Fresh, ipv6);
  // Windows' default: an IPv6 socket is for IPv6 alone, so a listener on :: leaves the IPv4
  // port to its own socket.
  if (ipv6) {
    int result = posix::SetIntOption(fd, posix::IntOption::V6Only, 1);
    if (result < 0) return NoSocket(ErrnoError(result));
  }
  return Register(std::move(entry));
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  posix::Endpoint local;
  if (!ReadAddress(name, namelen, entry->Ipv6(), &local)) return SOCKET_ERROR;
  int result = posix::Bind(entry->Descriptor(), local);
  return result < 0 ? FailErrno(result) : 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  posix::Endpoint peer;
  if (!ReadAddress(name, namelen, entry->Ipv6(), &peer)) return SOCKET_ERROR;
  const int fd = entry->Descriptor();
  if (!entry->Stream()) {  // only sets the default peer
    int result = posix::StartConnect(fd, peer);
    return result < 0 ? FailErrno(result) : 0;
  }

  using State = SocketEntry::State;
  const bool wasFresh = entry->ChangeState(State::Fresh, State::Connecting);
  auto failed = [&](int error) {
    if (wasFresh) entry->ChangeState(State::Connecting, State::Fresh);
    return Fail(error);
  };
  int result = posix::StartConnect(fd, peer);
  if (result == 0) {
    entry->SetState(State::Connected);
    return 0;
  }
  if (result != -EINPROGRESS && result != -EINTR) return failed(detail::ErrorFromErrno(-result));

  // The kernel carries on with the handshake; the socket turns writable when it is done.
  if (int error = AwaitReady(*entry, posix::kPollOut, 0)) return failed(error);
  int pending = 0;
  result = posix::GetIntOption(fd, posix::IntOption::Error, &pending);
  if (result < 0) return failed(detail::ErrorFromErrno(-result));
  if (pending != 0) return failed(detail::ErrorFromErrno(pending));
  entry->SetState(State::Connected);
  return 0;
}

int listen(SOCKET s, int backlog) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  int result = posix::Listen(entry->Descriptor(), backlog);
  if (result < 0) return FailErrno(result);
  entry->SetState(SocketEntry::State::Listening);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  auto entry = detail::Use(s);
  if (!entry) return INVALID_SOCKET;
  if (!AddressRoom(addr, addrlen, entry->Ipv6())) return NoSocket(WSAEFAULT);
  for (;;) {
    posix::Endpoint peer;
    int fd = posix::Accept(entry->Descriptor(), &peer);
    if (fd >= 0) {
      SOCKET accepted = Register(
          std::make_shared<SocketEntry>(fd, true, SocketEntry::State::Connected, entry->Ipv6()));
      if (accepted != INVALID_SOCKET && addr) WriteAddress(peer, addr, addrlen);
      return accepted;
    }
    if (entry->Closed()) return NoSocket(WSAEINTR);
    // A connection that died while queued is the client's problem, not the listener's.
    if (TransientAcceptError(-fd)) continue;
    if (fd != -EAGAIN) return NoSocket(ErrnoError(fd));
    if (int error = AwaitReady(*entry, posix::kPollIn, 0)) return NoSocket(error);
  }
}

int recv(SOCKET s, char* buf, int len, int flags) {
  return Receive(s, buf, len, flags, nullptr, nullptr);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  return Receive(s, buf, len, flags, from, fromlen);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  return Send(s, buf, len, flags, nullptr, 0);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  return Send(s, buf, len, flags, to, tolen);
}

int shutdown(SOCKET s, int how) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(WSAEINVAL);
  const bool receive = how != SD_SEND;
  const bool send = how != SD_RECEIVE;
  int result = posix::Shutdown(entry->Descriptor(), receive, send);
  if (result < 0) return FailErrno(result);
  entry->MarkShut(receive, send);
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || !AddressRoom(name, namelen, entry->Ipv6())) return Fail(WSAEFAULT);
  posix::Endpoint peer;
  int result = posix::PeerEndpoint(entry->Descriptor(), &peer);
  if (result < 0) return FailErrno(result);
  WriteAddress(peer, name, namelen);
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || !AddressRoom(name, namelen, entry->Ipv6())) return Fail(WSAEFAULT);
  posix::Endpoint local;
  int result = posix::LocalEndpoint(entry->Descriptor(), &local);
  if (result < 0) return FailErrno(result);
  WriteAddress(local, name, namelen);
  return 0;
}

bool TransmitFile(SOCKET s, int fileDescriptor) {
  auto entry = detail::Use(s);
  if (!entry) return false;
  if (entry->SendShut()) return Failed(WSAESHUTDOWN);
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  std::int64_t offset = 0;
  for (;;) {
    long sent = posix::SendFile(entry->Descriptor(), fileDescriptor, &offset, kChunk);
    if (sent == 0) return true;  // end of file
    if (sent > 0 || sent == -EINTR) continue;
    if (sent == -EAGAIN) {
      if (int error = AwaitReady(*entry, posix::kPollOut, entry->SendTimeout()))
        return Failed(error);
      continue;
    }
    if (sent == -EPIPE && entry->SendShut()) return Failed(WSAESHUTDOWN);
    return Failed(ErrnoError(sent));
  }
}

}  // namespace winsock
