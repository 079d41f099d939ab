#include "platform/PosixSocket.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace posix {

static_assert(kMsgOob == MSG_OOB && kMsgPeek == MSG_PEEK && kMsgDontRoute == MSG_DONTROUTE &&
              kMsgTrunc == MSG_TRUNC);
static_assert(kPollIn == POLLIN && kPollPri == POLLPRI && kPollOut == POLLOUT &&
              kPollErr == POLLERR && kPollHup == POLLHUP && kPollNval == POLLNVAL);

namespace {

int Failure() {
  return -errno;
}

// The kernel's form of an endpoint, and its length.
socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage* storage) {
  *storage = sockaddr_storage{};
  if (endpoint.family == Family::Ipv6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = endpoint.port;
    address.sin6_flowinfo = endpoint.flowInfo;
    std::memcpy(&address.sin6_addr, endpoint.address6.data(), sizeof address.sin6_addr);
    address.sin6_scope_id = endpoint.scopeId;
    std::memcpy(storage, &address, sizeof address);
    return sizeof address;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = endpoint.port;
  address.sin_addr.s_addr = endpoint.address;
  std::memcpy(storage, &address, sizeof address);
  return sizeof address;
}

// Only Internet-family addresses are ever produced by our sockets; anything else reads as zero.
Endpoint FromSockaddr(const sockaddr_storage& storage) {
  Endpoint endpoint;
  if (storage.ss_family == AF_INET) {
    sockaddr_in address;
    std::memcpy(&address, &storage, sizeof address);
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = address.sin_port;
  } else if (storage.ss_family == AF_INET6) {
    sockaddr_in6 address;
    std::memcpy(&address, &storage, sizeof address);
    endpoint.family = Family::Ipv6;
    std::memcpy(endpoint.address6.data(), &address.sin6_addr, endpoint.address6.size());
    endpoint.port = address.sin6_port;
    endpoint.flowInfo = address.sin6_flowinfo;
    endpoint.scopeId = address.sin6_scope_id;
  }
  return endpoint;
}

Endpoint FromSockaddr(const sockaddr* address, socklen_t length) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address, std::min<std::size_t>(length, sizeof storage));
  return FromSockaddr(storage);
}

bool OptionPlace(IntOption option, int* level, int* name) {
  *level = SOL_SOCKET;
  switch (option) {
    case IntOption::Debug:
      *name = SO_DEBUG;
      return true;
    case IntOption::AcceptConn:
      *name = SO_ACCEPTCONN;
      return true;
    case IntOption::ReuseAddress:
      *name = SO_REUSEADDR;
      return true;
    case IntOption::KeepAlive:
      *name = SO_KEEPALIVE;
      return true;
    case IntOption::DontRoute:
      *name = SO_DONTROUTE;
      return true;
    case IntOption::Broadcast:
      *name = SO_BROADCAST;
      return true;
    case IntOption::OobInline:
      *name = SO_OOBINLINE;
      return true;
    case IntOption::SendBuffer:
      *name = SO_SNDBUF;
      return true;
    case IntOption::ReceiveBuffer:
      *name = SO_RCVBUF;
      return true;
    case IntOption::Error:
      *name = SO_ERROR;
      return true;
    case IntOption::Type:
      *name = SO_TYPE;
      return true;
    case IntOption::NoDelay:
      *level = IPPROTO_TCP;
      *name = TCP_NODELAY;
      return true;
    case IntOption::V6Only:
      *level = IPPROTO_IPV6;
      *name = IPV6_V6ONLY;
      return true;
  }
  return false;
}

LookupStatus FromGaiError(int error) {
  switch (error) {
    case 0:
      return LookupStatus::Found;
    case EAI_NONAME:
      return LookupStatus::NotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return LookupStatus::NoAddress;
    case EAI_AGAIN:
      return LookupStatus::TryAgain;
    default:
      return LookupStatus::Failed;
  }
}

void CopyService(const servent& entry, ServiceInfo* service) {
  service->name = entry.s_name ? entry.s_name : "";
  service->aliases.clear();
  for (char** alias = entry.s_aliases; alias && *alias; ++alias)
    service->aliases.emplace_back(*alias);
  service->port = static_cast<std::uint16_t>(entry.s_port);
  service->protocol = entry.s_proto ? entry.s_proto : "";
}

// getserv*_r report a too-small buffer with ERANGE; grow and try again.
template <class Lookup>
LookupStatus ServiceLookup(Lookup lookup, ServiceInfo* service) {
  std::vector<char> buffer(1024);
  for (int attempt = 0; attempt < 8; ++attempt) {
    servent entry{};
    servent* result = nullptr;
    int error = lookup(&entry, buffer.data(), buffer.size(), &result);
    if (error == ERANGE) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0) return LookupStatus::Failed;
    if (!result) return LookupStatus::NotFound;
    CopyService(*result, service);
    return LookupStatus::Found;
  }
  return LookupStatus::Failed;
}

}  // namespace

int OpenSocket(Family family, SocketKind kind, Protocol protocol) {
  int type = SOCK_STREAM;
  if (kind == SocketKind::Datagram) type = SOCK_DGRAM;
  if (kind == SocketKind::Raw) type = SOCK_RAW;
  int proto = 0;
  if (protocol == Protocol::Tcp) proto = IPPROTO_TCP;
  if (protocol == Protocol::Udp) proto = IPPROTO_UDP;
  if (protocol == Protocol::Icmp) proto = IPPROTO_ICMP;
  int fd = ::socket(family == Family::Ipv6 ? AF_INET6 : AF_INET,
                    type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto);
  return fd < 0 ? Failure() : fd;
}

void Close(int fd) {
  if (fd >= 0) ::close(fd);  // EINTR still releases the descriptor on Linux; never retry
}

int Bind(int fd, const Endpoint& local) {
  sockaddr_storage address;
  const socklen_t length = ToSockaddr(local, &address);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) < 0 ? Failure() : 0;
}

int StartConnect(int fd, const Endpoint& peer) {
  sockaddr_storage address;
  const socklen_t length = ToSockaddr(peer, &address);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) < 0 ? Failure() : 0;
}

int Listen(int fd, int backlog) {
  return ::listen(fd, backlog) < 0 ? Failure() : 0;
}

int Accept(int fd, Endpoint* peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  int accepted =
      ::accept4(fd, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) return Failure();
  if (peer) *peer = FromSockaddr(storage);
  return accepted;
}

long Receive(int fd, void* buffer, std::size_t length, int flags, Endpoint* from) {
  sockaddr_storage storage{};
  socklen_t addressLength = sizeof storage;
  ssize_t received =
      ::recvfrom(fd, buffer, length, flags, reinterpret_cast<sockaddr*>(&storage), &addressLength);
  if (received < 0) return Failure();
  if (from && addressLength > 0) *from = FromSockaddr(storage);
  return received;
}

long Send(int fd, const void* buffer, std::size_t length, int flags, const Endpoint* to) {
  ssize_t sent;
  if (to) {
    sockaddr_storage address;
    const socklen_t addressLength = ToSockaddr(*to, &address);
    sent = ::sendto(fd, buffer, length, flags | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), addressLength);
  } else {
    sent = ::send(fd, buffer, length, flags | MSG_NOSIGNAL);
  }
  return sent < 0 ? Failure() : sent;
}

int Shutdown(int fd, bool receive, bool send) {
  int how = receive && send ? SHUT_RDWR : receive ? SHUT_RD : SHUT_WR;
  return ::shutdown(fd, how) < 0 ? Failure() : 0;
}

int LocalEndpoint(int fd, Endpoint* local) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) < 0) return Failure();
  *local = FromSockaddr(storage);
  return 0;
}

int PeerEndpoint(int fd, Endpoint* peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) < 0) return Failure();
  *peer = FromSockaddr(storage);
  return 0;
}

int SetIntOption(int fd, IntOption option, int value) {
  int level, name;
  if (!OptionPlace(option, &level, &name)) return -ENOPROTOOPT;
  return ::setsockopt(fd, level, name, &value, sizeof value) < 0 ? Failure() : 0;
}

int GetIntOption(int fd, IntOption option, int* value) {
  int level, name;
  if (!OptionPlace(option, &level, &name)) return -ENOPROTOOPT;
  int raw = 0;
  socklen_t length = sizeof raw;
  if (::getsockopt(fd, level, name, &raw, &length) < 0) return Failure();
  if (option == IntOption::Type) {
    raw = raw == SOCK_DGRAM ? static_cast<int>(SocketKind::Datagram)
          : raw == SOCK_RAW ? static_cast<int>(SocketKind::Raw)
                            : static_cast<int>(SocketKind::Stream);
  }
  *value = raw;
  return 0;
}

int SetLinger(int fd, bool on, int seconds) {
  ::linger value{on ? 1 : 0, seconds};
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) < 0 ? Failure() : 0;
}

int GetLinger(int fd, bool* on, int* seconds) {
  ::linger value{};
  socklen_t length = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &length) < 0) return Failure();
  *on = value.l_onoff != 0;
  *seconds = value.l_linger;
  return 0;
}

int Poll(PollItem* items, std::size_t count, int timeoutMs) {
  constexpr std::size_t kOnStack = 8;
  pollfd local[kOnStack];
  std::vector<pollfd> heap;
  pollfd* fds = local;
  if (count > kOnStack) {
    heap.resize(count);
    fds = heap.data();
  }
  for (std::size_t i = 0; i < count; ++i)
    fds[i] = pollfd{items[i].fd, items[i].events, 0};
  int ready = ::poll(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
  if (ready < 0) return Failure();
  for (std::size_t i = 0; i < count; ++i)
    items[i].revents = fds[i].revents;
  return ready;
}

long SendFile(int socketFd, int fileFd, std::int64_t* offset, std::size_t count) {
  // sendfile has no MSG_NOSIGNAL: hold SIGPIPE back on this thread for the call and swallow the
  // one it raised, unless one was already pending before we started.
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  off_t position = static_cast<off_t>(*offset);
  ssize_t sent = ::sendfile(socketFd, fileFd, &position, count);
  const int error = sent < 0 ? errno : 0;
  if (sent >= 0) *offset = position;

  if (error == EPIPE && !wasPending) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return sent < 0 ? -error : sent;
}

LookupStatus ResolveIpv4(const std::string& name, std::string* canonicalName,
                         std::vector<std::uint32_t>* addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one answer per address instead of one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (error == EAI_SYSTEM && errno == ENOENT) error = EAI_NONAME;
  if (error != 0) return FromGaiError(error);

  addresses->clear();
  *canonicalName = found->ai_canonname ? found->ai_canonname : name;
  for (addrinfo* item = found; item; item = item->ai_next) {
    if (item->ai_family != AF_INET || !item->ai_addr) continue;
    sockaddr_in address;
    std::memcpy(&address, item->ai_addr, sizeof address);
    bool seen = false;
    for (std::uint32_t known : *addresses)
      seen = seen || known == address.sin_addr.s_addr;
    if (!seen) addresses->push_back(address.sin_addr.s_addr);
  }
  ::freeaddrinfo(found);
  return addresses->empty() ? LookupStatus::NoAddress : LookupStatus::Found;
}

LookupStatus ReverseLookup(std::uint32_t address, std::string* name) {
  Endpoint endpoint;
  endpoint.address = address;
  sockaddr_storage where;
  const socklen_t length = ToSockaddr(endpoint, &where);
  char host[NI_MAXHOST];
  int error = ::getnameinfo(reinterpret_cast<const sockaddr*>(&where), length, host, sizeof host,
                            nullptr, 0, NI_NAMEREQD);
  if (error != 0) return FromGaiError(error);
  *name = host;
  return LookupStatus::Found;
}

LookupStatus ServiceByName(const char* name, const char* protocol, ServiceInfo* service) {
  return ServiceLookup(
      [&](servent* entry, char* buffer, std::size_t size, servent** result) {
        return ::getservbyname_r(name, protocol, entry, buffer, size, result);
      },
      service);
}

LookupStatus ServiceByPort(std::uint16_t port, const char* protocol, ServiceInfo* service) {
  return ServiceLookup(
      [&](servent* entry, char* buffer, std::size_t size, servent** result) {
        return ::getservbyport_r(port, protocol, entry, buffer, size, result);
      },
      service);
}

int HostName(std::string* name) {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) < 0) return Failure();
  *name = buffer;
  return 0;
}

namespace {

AddressStatus FromGaiStatus(int error) {
  switch (error) {
    case EAI_SERVICE:
      return AddressStatus::ServiceNotFound;
    case EAI_BADFLAGS:
      return AddressStatus::BadFlags;
    default:
      break;
  }
  switch (FromGaiError(error)) {
    case LookupStatus::Found:
      return AddressStatus::Found;
    case LookupStatus::NotFound:
      return AddressStatus::NotFound;
    case LookupStatus::TryAgain:
      return AddressStatus::TryAgain;
    case LookupStatus::NoAddress:
      return AddressStatus::NoAddress;
    case LookupStatus::Failed:
      break;
  }
  return AddressStatus::Failed;
}

SocketKind KindOf(int type) {
  return type == SOCK_DGRAM ? SocketKind::Datagram
         : type == SOCK_RAW ? SocketKind::Raw
                            : SocketKind::Stream;
}

Protocol ProtocolOf(int protocol) {
  return protocol == IPPROTO_TCP    ? Protocol::Tcp
         : protocol == IPPROTO_UDP  ? Protocol::Udp
         : protocol == IPPROTO_ICMP ? Protocol::Icmp
                                    : Protocol::Default;
}

}  // namespace

AddressStatus ResolveAddresses(const char* name, const char* service, const AddressQuery& query,
                               std::string* canonicalName, std::vector<AddressAnswer>* answers) {
  addrinfo hints{};
  hints.ai_family = !query.family ? AF_UNSPEC : *query.family == Family::Ipv6 ? AF_INET6 : AF_INET;
  if (query.kind) {
    hints.ai_socktype = *query.kind == SocketKind::Datagram ? SOCK_DGRAM
                        : *query.kind == SocketKind::Raw    ? SOCK_RAW
                                                            : SOCK_STREAM;
  }
  hints.ai_protocol = query.protocol == Protocol::Tcp    ? IPPROTO_TCP
                      : query.protocol == Protocol::Udp  ? IPPROTO_UDP
                      : query.protocol == Protocol::Icmp ? IPPROTO_ICMP
                                                         : 0;
  hints.ai_flags = (query.passive ? AI_PASSIVE : 0) | (query.canonicalName ? AI_CANONNAME : 0) |
                   (query.numericHost ? AI_NUMERICHOST : 0);
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(name, service, &hints, &found);
  if (error == EAI_SYSTEM && errno == ENOENT) error = EAI_NONAME;
  if (error != 0) return FromGaiStatus(error);

  answers->clear();
  if (canonicalName) {
    *canonicalName = found->ai_canonname ? found->ai_canonname : (name ? name : "");
  }
  for (addrinfo* item = found; item; item = item->ai_next) {
    if ((item->ai_family != AF_INET && item->ai_family != AF_INET6) || !item->ai_addr) continue;
    answers->push_back(AddressAnswer{FromSockaddr(item->ai_addr, item->ai_addrlen),
                                     KindOf(item->ai_socktype), ProtocolOf(item->ai_protocol)});
  }
  ::freeaddrinfo(found);
  return answers->empty() ? AddressStatus::NoAddress : AddressStatus::Found;
}

AddressStatus NameOf(const Endpoint& endpoint, const NameQuery& query, std::string* host,
                     std::string* service) {
  sockaddr_storage where;
  const socklen_t length = ToSockaddr(endpoint, &where);
  char hostText[NI_MAXHOST] = {};
  char serviceText[NI_MAXSERV] = {};
  const int flags = (query.numericHost ? NI_NUMERICHOST : 0) |
                    (query.nameRequired ? NI_NAMEREQD : 0) |
                    (query.numericService ? NI_NUMERICSERV : 0) | (query.datagram ? NI_DGRAM : 0) |
                    (query.noDomain ? NI_NOFQDN : 0);
  int error =
      ::getnameinfo(reinterpret_cast<const sockaddr*>(&where), length, host ? hostText : nullptr,
                    host ? sizeof hostText : 0, service ? serviceText : nullptr,
                    service ? sizeof serviceText : 0, flags);
  if (error != 0) return FromGaiStatus(error);
  if (host) *host = hostText;
  if (service) *service = serviceText;
  return AddressStatus::Found;
}

bool ParseAddress(Family family, const char* text, std::uint8_t* address) {
  return ::inet_pton(family == Family::Ipv6 ? AF_INET6 : AF_INET, text, address) == 1;
}

std::string AddressText(Family family, const std::uint8_t* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (!::inet_ntop(family == Family::Ipv6 ? AF_INET6 : AF_INET, address, text, sizeof text))
    return {};
  return text;
}

bool Ipv6Usable() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;  // no IPv6 in this kernel at all
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  // Without an IPv6 address on loopback (IPv6 switched off) the bind fails.
  const bool usable =
      ::bind(fd, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) == 0;
  ::close(fd);
  return usable;
}

}  // namespace posix
