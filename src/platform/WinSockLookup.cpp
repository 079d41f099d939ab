// Host and service look-ups and address text.
//
// Each thread has its own hostent, servent and inet_ntoa result, valid until that thread's next
// call of the same family, so look-ups from several threads never share storage. The look-ups go
// through getaddrinfo, getnameinfo and getserv*_r, all of which are safe to call concurrently.
// getaddrinfo's answers are the caller's own, each node one allocation that freeaddrinfo frees.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "platform/PosixSocket.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"

namespace winsock {

namespace {

using detail::Fail;

class HostStorage {
 public:
  hostent* Fill(std::string name, const std::vector<std::uint32_t>& addresses) {
    name_ = std::move(name);
    addresses_ = addresses;
    addressPointers_.clear();
    for (std::uint32_t& address : addresses_)
      addressPointers_.push_back(reinterpret_cast<char*>(&address));
    addressPointers_.push_back(nullptr);
    entry_.h_name = name_.data();
    entry_.h_aliases = noAliases_.data();
    entry_.h_addrtype = AF_INET;
    entry_.h_length = 4;
    entry_.h_addr_list = addressPointers_.data();
    return &entry_;
  }

 private:
  std::string name_;
  std::vector<std::uint32_t> addresses_;  // network byte order
  std::vector<char*> addressPointers_;
  std::array<char*, 1> noAliases_{nullptr};
  hostent entry_{};
};

class ServiceStorage {
 public:
  servent* Fill(posix::ServiceInfo info) {
    info_ = std::move(info);
    aliasPointers_.clear();
    for (std::string& alias : info_.aliases)
      aliasPointers_.push_back(alias.data());
    aliasPointers_.push_back(nullptr);
    entry_.s_name = info_.name.data();
    entry_.s_aliases = aliasPointers_.data();
    entry_.s_port = static_cast<std::int16_t>(info_.port);
    entry_.s_proto = info_.protocol.data();
    return &entry_;
  }

 private:
  posix::ServiceInfo info_;
  std::vector<char*> aliasPointers_;
  servent entry_{};
};

thread_local HostStorage hostStorage;
thread_local ServiceStorage serviceStorage;

template <class Result>
Result* NoResult(int error) {
  Fail(error);
  return nullptr;
}

int LookupError(posix::LookupStatus status) {
  switch (status) {
    case posix::LookupStatus::NotFound:
      return WSAHOST_NOT_FOUND;
    case posix::LookupStatus::TryAgain:
      return WSATRY_AGAIN;
    case posix::LookupStatus::NoAddress:
      return WSANO_DATA;
    default:
      return WSANO_RECOVERY;
  }
}

bool EndsWithLabel(const std::string& name, const char* label) {
  const std::size_t length = std::strlen(label);
  if (name.size() < length) return false;
  if (name.size() > length && name[name.size() - length - 1] != '.') return false;
  return std::equal(name.end() - static_cast<long>(length), name.end(), label, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

// One number of the classic address text: decimal, octal after a leading 0, hex after 0x.
bool ParsePart(const char*& text, std::uint64_t* value) {
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  } else if (text[0] == '0' && std::isdigit(static_cast<unsigned char>(text[1]))) {
    base = 8;
    ++text;
  }
  std::uint64_t result = 0;
  const char* start = text;
  for (;; ++text) {
    const int c = static_cast<unsigned char>(*text);
    int digit;
    if (std::isdigit(c))
      digit = c - '0';
    else if (base == 16 && std::isxdigit(c))
      digit = std::tolower(c) - 'a' + 10;
    else
      break;
    if (digit >= base) return false;
    result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (result > 0xffffffffu) return false;
  }
  *value = result;
  return text != start;  // "0x" alone is not a number
}

// "a.b.c.d", "a.b.c" (c: 16 bits), "a.b" (b: 24 bits) or "a" (32 bits); network byte order out.
bool ParseAddress(const char* text, u_long* address) {
  if (!text || !*text) return false;
  std::uint64_t parts[4];
  int count = 0;
  for (;;) {
    if (count == 4 || !ParsePart(text, &parts[count])) return false;
    ++count;
    if (*text == '\0') break;
    if (*text++ != '.') return false;
  }
  std::uint64_t value = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xff) return false;
    value |= parts[i] << (24 - 8 * i);
  }
  const std::uint64_t lastLimit = 0xffffffffu >> (8 * (count - 1));
  if (parts[count - 1] > lastLimit) return false;
  value |= parts[count - 1];
  *address = htonl(static_cast<u_long>(value));
  return true;
}

// One getaddrinfo answer: the node first, so the node's address is the allocation's.
struct AnswerNode {
  addrinfo info;
  sockaddr_storage address;
};
static_assert(std::is_standard_layout_v<AnswerNode>);

int AddressError(posix::AddressStatus status) {
  switch (status) {
    case posix::AddressStatus::Found:
      return 0;
    case posix::AddressStatus::NotFound:
    case posix::AddressStatus::NoAddress:
      return EAI_NONAME;
    case posix::AddressStatus::TryAgain:
      return EAI_AGAIN;
    case posix::AddressStatus::ServiceNotFound:
      return EAI_SERVICE;
    case posix::AddressStatus::BadFlags:
      return EAI_BADFLAGS;
    case posix::AddressStatus::Failed:
      break;
  }
  return EAI_FAIL;
}

// getaddrinfo's way to fail: the number is both the result and the last error.
int AddressFailure(int error) {
  Fail(error);
  return error;
}

int SocketTypeOf(posix::SocketKind kind) {
  return kind == posix::SocketKind::Datagram ? SOCK_DGRAM
         : kind == posix::SocketKind::Raw    ? SOCK_RAW
                                             : SOCK_STREAM;
}

int ProtocolNumberOf(posix::Protocol protocol) {
  return protocol == posix::Protocol::Tcp    ? IPPROTO_TCP
         : protocol == posix::Protocol::Udp  ? IPPROTO_UDP
         : protocol == posix::Protocol::Icmp ? IPPROTO_ICMP
                                             : 0;
}

addrinfo* MakeAnswers(const std::vector<posix::AddressAnswer>& answers,
                      const std::string* canonical) {
  addrinfo* first = nullptr;
  addrinfo** link = &first;
  for (const posix::AddressAnswer& answer : answers) {
    auto* node = new AnswerNode{};
    const posix::Endpoint& endpoint = answer.endpoint;
    node->info.ai_family = endpoint.family == posix::Family::Ipv6 ? AF_INET6 : AF_INET;
    node->info.ai_addrlen = detail::WriteEndpoint(endpoint, &node->address);
    node->info.ai_socktype = SocketTypeOf(answer.kind);
    node->info.ai_protocol = ProtocolNumberOf(answer.protocol);
    node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->address);
    // The canonical name rides on the first answer only, as the system does it.
    if (canonical && link == &first) {
      node->info.ai_canonname = new char[canonical->size() + 1];
      std::memcpy(node->info.ai_canonname, canonical->c_str(), canonical->size() + 1);
    }
    *link = &node->info;
    link = &node->info.ai_next;
  }
  return first;
}

bool ReservedName(const std::string& host, const char* label) {
  std::string bare = host;
  if (bare.size() > 1 && bare.back() == '.') bare.pop_back();
  return EndsWithLabel(bare, label);
}

// The loopback answers for a name ending in "localhost": ::1 first where this machine has IPv6.
posix::AddressStatus LoopbackAnswers(const char* service, posix::AddressQuery query,
                                     std::vector<posix::AddressAnswer>* answers) {
  const bool wantsIpv6 = !query.family || *query.family == posix::Family::Ipv6;
  const bool wantsIpv4 = !query.family || *query.family == posix::Family::Ipv4;
  query.numericHost = true;
  query.canonicalName = false;
  answers->clear();
  posix::AddressStatus status = posix::AddressStatus::NoAddress;
  for (const auto& [wanted, family, text] :
       {std::tuple{wantsIpv6 && posix::Ipv6Usable(), posix::Family::Ipv6, "::1"},
        std::tuple{wantsIpv4, posix::Family::Ipv4, "127.0.0.1"}}) {
    if (!wanted) continue;
    query.family = family;
    std::vector<posix::AddressAnswer> some;
    const posix::AddressStatus found =
        posix::ResolveAddresses(text, service, query, nullptr, &some);
    if (found != posix::AddressStatus::Found) {
      status = answers->empty() ? found : status;
      continue;
    }
    answers->insert(answers->end(), some.begin(), some.end());
    status = posix::AddressStatus::Found;
  }
  return status;
}

}  // namespace

hostent* gethostbyname(const char* name) {
  if (!detail::CheckStarted()) return nullptr;
  std::string host = name ? name : "";
  if (host.empty()) {  // the local host, as on Windows
    int result = posix::HostName(&host);
    if (result < 0) return NoResult<hostent>(detail::ErrorFromErrno(-result));
  }
  u_long literal;
  if (ParseAddress(host.c_str(), &literal)) return hostStorage.Fill(host, {literal});

  // Reserved names answer without a resolver, so they mean the same on every machine.
  std::string bare = host;
  if (bare.size() > 1 && bare.back() == '.') bare.pop_back();
  if (EndsWithLabel(bare, "invalid")) return NoResult<hostent>(WSAHOST_NOT_FOUND);
  if (EndsWithLabel(bare, "localhost")) return hostStorage.Fill(host, {htonl(INADDR_LOOPBACK)});

  std::string canonical;
  std::vector<std::uint32_t> addresses;
  posix::LookupStatus status = posix::ResolveIpv4(host, &canonical, &addresses);
  if (status != posix::LookupStatus::Found) return NoResult<hostent>(LookupError(status));
  return hostStorage.Fill(canonical, addresses);
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
  if (!detail::CheckStarted()) return nullptr;
  if (!addr) return NoResult<hostent>(WSAEFAULT);
  if (type != AF_INET) return NoResult<hostent>(WSAEAFNOSUPPORT);
  if (len < 4) return NoResult<hostent>(WSAEFAULT);
  std::uint32_t address;
  std::memcpy(&address, addr, sizeof address);
  std::string name;
  posix::LookupStatus status = posix::ReverseLookup(address, &name);
  if (status != posix::LookupStatus::Found) return NoResult<hostent>(LookupError(status));
  return hostStorage.Fill(std::move(name), {address});
}

int gethostname(char* name, int namelen) {
  if (!detail::CheckStarted()) return SOCKET_ERROR;
  if (!name || namelen <= 0) return Fail(WSAEFAULT);
  std::string host;
  int result = posix::HostName(&host);
  if (result < 0) return Fail(detail::ErrorFromErrno(-result));
  if (host.size() + 1 > static_cast<std::size_t>(namelen)) return Fail(WSAEFAULT);
  std::memcpy(name, host.c_str(), host.size() + 1);
  return 0;
}

servent* getservbyname(const char* name, const char* proto) {
  if (!detail::CheckStarted()) return nullptr;
  if (!name) return NoResult<servent>(WSAEFAULT);
  posix::ServiceInfo info;
  posix::LookupStatus status = posix::ServiceByName(name, proto, &info);
  if (status == posix::LookupStatus::NotFound) return NoResult<servent>(WSANO_DATA);
  if (status != posix::LookupStatus::Found) return NoResult<servent>(LookupError(status));
  return serviceStorage.Fill(std::move(info));
}

servent* getservbyport(int port, const char* proto) {
  if (!detail::CheckStarted()) return nullptr;
  posix::ServiceInfo info;
  posix::LookupStatus status =
      posix::ServiceByPort(static_cast<std::uint16_t>(port & 0xffff), proto, &info);
  if (status == posix::LookupStatus::NotFound) return NoResult<servent>(WSANO_DATA);
  if (status != posix::LookupStatus::Found) return NoResult<servent>(LookupError(status));
  return serviceStorage.Fill(std::move(info));
}

int getaddrinfo(const char* nodename, const char* servname, const addrinfo* hints, addrinfo** res) {
  if (!detail::CheckStarted()) return WSANOTINITIALISED;
  if (!res) return AddressFailure(WSAEFAULT);
  *res = nullptr;
  if (!nodename && !servname) return AddressFailure(EAI_NONAME);
  posix::AddressQuery query;
  if (hints) {
    if (hints->ai_flags & ~(AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST))
      return AddressFailure(EAI_BADFLAGS);
    switch (hints->ai_family) {
      case AF_UNSPEC:
        break;
      case AF_INET:
        query.family = posix::Family::Ipv4;
        break;
      case AF_INET6:
        query.family = posix::Family::Ipv6;
        break;
      default:
        return AddressFailure(EAI_FAMILY);
    }
    switch (hints->ai_socktype) {
      case 0:
        break;
      case SOCK_STREAM:
        query.kind = posix::SocketKind::Stream;
        break;
      case SOCK_DGRAM:
        query.kind = posix::SocketKind::Datagram;
        break;
      case SOCK_RAW:
        query.kind = posix::SocketKind::Raw;
        break;
      default:
        return AddressFailure(EAI_SOCKTYPE);
    }
    switch (hints->ai_protocol) {
      case 0:
        break;
      case IPPROTO_TCP:
        query.protocol = posix::Protocol::Tcp;
        break;
      case IPPROTO_UDP:
        query.protocol = posix::Protocol::Udp;
        break;
      case IPPROTO_ICMP:
        query.protocol = posix::Protocol::Icmp;
        break;
      default:
        return AddressFailure(WSAEPROTONOSUPPORT);
    }
    query.passive = (hints->ai_flags & AI_PASSIVE) != 0;
    query.canonicalName = (hints->ai_flags & AI_CANONNAME) != 0;
    query.numericHost = (hints->ai_flags & AI_NUMERICHOST) != 0;
  }

  std::string canonical;
  std::vector<posix::AddressAnswer> answers;
  posix::AddressStatus status;
  const std::string host = nodename ? nodename : "";
  if (nodename && !query.numericHost && ReservedName(host, "invalid")) {
    status = posix::AddressStatus::NotFound;
  } else if (nodename && !query.numericHost && ReservedName(host, "localhost")) {
    status = LoopbackAnswers(servname, query, &answers);
    canonical = host;
  } else {
    status = posix::ResolveAddresses(nodename, servname, query, &canonical, &answers);
  }
  if (status != posix::AddressStatus::Found) return AddressFailure(AddressError(status));
  try {
    *res = MakeAnswers(answers, query.canonicalName ? &canonical : nullptr);
  } catch (const std::bad_alloc&) {
    return AddressFailure(EAI_MEMORY);
  }
  return 0;
}

void freeaddrinfo(addrinfo* ai) {
  while (ai) {
    addrinfo* next = ai->ai_next;
    delete[] ai->ai_canonname;
    delete reinterpret_cast<AnswerNode*>(ai);
    ai = next;
  }
}

int getnameinfo(const sockaddr* sa, int salen, char* host, u_long hostlen, char* serv,
                u_long servlen, int flags) {
  if (!detail::CheckStarted()) return WSANOTINITIALISED;
  if (!sa || salen < static_cast<int>(sizeof(sockaddr_in))) return AddressFailure(WSAEFAULT);
  if (flags & ~(NI_NOFQDN | NI_NUMERICHOST | NI_NAMEREQD | NI_NUMERICSERV | NI_DGRAM))
    return AddressFailure(EAI_BADFLAGS);
  const bool wantsHost = host && hostlen > 0;
  const bool wantsService = serv && servlen > 0;
  if (!wantsHost && !wantsService) return AddressFailure(EAI_NONAME);

  posix::Endpoint endpoint;
  std::int16_t family;
  std::memcpy(&family, sa, sizeof family);
  if (family == AF_INET6) {
    if (salen < static_cast<int>(sizeof(sockaddr_in6))) return AddressFailure(WSAEFAULT);
    sockaddr_in6 address;
    std::memcpy(&address, sa, sizeof address);
    endpoint.family = posix::Family::Ipv6;
    std::memcpy(endpoint.address6.data(), address.sin6_addr.s6_addr, endpoint.address6.size());
    endpoint.port = address.sin6_port;
    endpoint.flowInfo = address.sin6_flowinfo;
    endpoint.scopeId = address.sin6_scope_id;
  } else if (family == AF_INET) {
    sockaddr_in address;
    std::memcpy(&address, sa, sizeof address);
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = address.sin_port;
  } else {
    return AddressFailure(EAI_FAMILY);
  }

  posix::NameQuery query;
  query.numericHost = (flags & NI_NUMERICHOST) != 0;
  query.nameRequired = (flags & NI_NAMEREQD) != 0;
  query.numericService = (flags & NI_NUMERICSERV) != 0;
  query.datagram = (flags & NI_DGRAM) != 0;
  query.noDomain = (flags & NI_NOFQDN) != 0;
  std::string hostText, serviceText;
  const posix::AddressStatus status = posix::NameOf(
      endpoint, query, wantsHost ? &hostText : nullptr, wantsService ? &serviceText : nullptr);
  if (status != posix::AddressStatus::Found) return AddressFailure(AddressError(status));
  if ((wantsHost && hostText.size() >= hostlen) || (wantsService && serviceText.size() >= servlen))
    return AddressFailure(WSAEFAULT);
  if (wantsHost) std::memcpy(host, hostText.c_str(), hostText.size() + 1);
  if (wantsService) std::memcpy(serv, serviceText.c_str(), serviceText.size() + 1);
  return 0;
}

int inet_pton(int family, const char* src, void* dst) {
  if (family != AF_INET && family != AF_INET6) return Fail(WSAEAFNOSUPPORT);
  if (!src || !dst) return Fail(WSAEFAULT);
  return posix::ParseAddress(family == AF_INET6 ? posix::Family::Ipv6 : posix::Family::Ipv4, src,
                             static_cast<std::uint8_t*>(dst))
             ? 1
             : 0;
}

const char* inet_ntop(int family, const void* src, char* dst, std::size_t size) {
  if (family != AF_INET && family != AF_INET6) return NoResult<const char>(WSAEAFNOSUPPORT);
  if (!src || !dst) return NoResult<const char>(WSAEFAULT);
  const std::string text =
      posix::AddressText(family == AF_INET6 ? posix::Family::Ipv6 : posix::Family::Ipv4,
                         static_cast<const std::uint8_t*>(src));
  if (text.empty() || text.size() >= size) return NoResult<const char>(WSAEINVAL);
  std::memcpy(dst, text.c_str(), text.size() + 1);
  return dst;
}

u_long inet_addr(const char* cp) {
  u_long address;
  return ParseAddress(cp, &address) ? address : INADDR_NONE;
}

char* inet_ntoa(in_addr in) {
  thread_local char text[16];
  unsigned char bytes[4];
  std::memcpy(bytes, &in.s_addr, sizeof bytes);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

}  // namespace winsock
