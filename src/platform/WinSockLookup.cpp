// Host and service look-ups and address text.
//
// Each thread has its own hostent, servent and inet_ntoa result, valid until that thread's next
// call of the same family, so look-ups from several threads never share storage. The look-ups go
// through getaddrinfo, getnameinfo and getserv*_r, all of which are safe to call concurrently.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
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
