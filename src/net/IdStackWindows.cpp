#include "net/IdStackWindows.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "rtl/Exception.h"
#include "rtl/Format.h"

namespace {

constexpr std::uint16_t kWinsockVersion = winsock::MakeWord(2, 2);
constexpr int kAddressSize = static_cast<int>(sizeof(winsock::sockaddr_in));

rtl::TMutex gStartupLock;
std::atomic<bool> gSocketsStarted{false};
std::atomic<TIdFileSendHook> gFileSendHook{&TransmitWholeFile};

// Registered after the first successful start-up, so it runs before the socket layer's own
// statics (constructed earlier) are destroyed.
void CleanupSockets() {
  if (gSocketsStarted.exchange(false)) winsock::WSACleanup();
}

template <class Address>
winsock::sockaddr* AsAddress(Address& address) {
  return reinterpret_cast<winsock::sockaddr*>(&address);
}

constexpr int kStorageSize = static_cast<int>(sizeof(winsock::sockaddr_storage));

// The system's text for 10093, in the words Windows gives it.
constexpr const char* kNotStartedText =
    "Either the application has not called WSAStartup, or WSAStartup failed.";

// A call refused because the library is not started (or already cleaned up) is the library's own
// failure, not one for the caller to check: it raises at once, naming the function.
void CheckStarted(const char* function) {
  if (winsock::WSAGetLastError() != winsock::WSANOTINITIALISED) return;
  throw EIdWS2StubError(Format("Error on call Winsock2 library function %s", function),
                        winsock::WSANOTINITIALISED, kNotStartedText);
}

// Every failure sets the last error, so it is read only when the call failed.
int Called(const char* function, int result) {
  if (result == winsock::SOCKET_ERROR) CheckStarted(function);
  return result;
}

template <class T>
T* Called(const char* function, T* result) {
  if (result == nullptr) CheckStarted(function);
  return result;
}

}  // namespace

bool SocketsStarted() {
  return gSocketsStarted.load();
}

TIdStackWindows::TIdStackWindows() {
  rtl::TMutexGuard guard(gStartupLock);
  if (gSocketsStarted.load()) return;
  winsock::WSAData data{};
  if (winsock::WSAStartup(kWinsockVersion, &data) != 0) throw EIdStackInitializationFailed();
  gSocketsStarted.store(true);
  static const bool cleanupRegistered = (std::atexit(&CleanupSockets), true);
  (void)cleanupRegistered;
}

void TIdStackWindows::FillLocalAddresses() {
  std::string hostName = SockLocalHostName();
  std::vector<std::string> addresses;
  winsock::hostent* host = Called("gethostbyname", winsock::gethostbyname(hostName.c_str()));
  if (host == nullptr) CheckSocketResult(Id_SOCKET_ERROR);
  if (host != nullptr && host->h_addr_list != nullptr && host->h_length == 4) {
    for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
      winsock::in_addr address{};
      std::memcpy(&address.s_addr, *entry, 4);
      addresses.push_back(AddressToText(address));
    }
  }
  rtl::TMutexGuard guard(localAddressLock_);
  localAddressCache_ = std::move(addresses);
}

std::vector<std::string> TIdStackWindows::LocalAddressList() {
  FillLocalAddresses();
  rtl::TMutexGuard guard(localAddressLock_);
  return localAddressCache_;
}

std::string TIdStackWindows::FirstLocalAddress() {
  std::vector<std::string> addresses = LocalAddressList();
  if (addresses.empty()) throw EListError(Format("List index out of bounds (%d)", 0));
  return addresses.front();
}

void TIdStackWindows::AddressOf(const winsock::sockaddr_storage& storage, std::int32_t& family,
                                std::string& ip, std::int32_t& port) {
  family = storage.ss_family;
  if (family == winsock::AF_INET6) {
    winsock::sockaddr_in6 address{};
    std::memcpy(&address, &storage, sizeof address);
    ip = AddressToText6(address.sin6_addr, address.sin6_scope_id);
    port = winsock::ntohs(address.sin6_port);
    return;
  }
  winsock::sockaddr_in address{};
  std::memcpy(&address, &storage, sizeof address);
  ip = AddressToText(address.sin_addr);
  port = winsock::ntohs(address.sin_port);
}

winsock::sockaddr_in6 TIdStackWindows::Address6(const std::string& ip, std::int32_t port) {
  winsock::sockaddr_in6 address{};
  address.sin6_family = winsock::AF_INET6;
  address.sin6_port = winsock::htons(static_cast<winsock::u_short>(port));
  if (!ip.empty()) TextToAddress6(ip, address.sin6_addr, address.sin6_scope_id);
  return address;
}

TIdStackSocketHandle TIdStackWindows::SockAccept(TIdStackSocketHandle s, std::string& ip,
                                                 std::int32_t& port) {
  winsock::sockaddr_storage address{};
  int length = kStorageSize;
  TIdStackSocketHandle result = Called("accept", winsock::accept(s, AsAddress(address), &length));
  if (result != Id_INVALID_SOCKET) {
    std::int32_t family = 0;
    AddressOf(address, family, ip, port);
  }
  return result;
}

std::int32_t TIdStackWindows::SockBind(TIdStackSocketHandle s, std::int32_t family,
                                       const std::string& ip, std::int32_t port) {
  if (family == Id_PF_INET6) {
    winsock::sockaddr_in6 address = Address6(ip, port);  // an empty ip is ::, every address
    return Called("bind", winsock::bind(s, AsAddress(address), sizeof address));
  }
  winsock::sockaddr_in address{};
  address.sin_family = static_cast<std::int16_t>(family);
  address.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
  address.sin_addr.s_addr = ip.empty() ? winsock::INADDR_ANY : TextToAddressValue(ip);
  return Called("bind", winsock::bind(s, AsAddress(address), kAddressSize));
}

std::int32_t TIdStackWindows::SockClose(TIdStackSocketHandle s) {
  return Called("closesocket", winsock::closesocket(s));
}

std::int32_t TIdStackWindows::SockConnect(TIdStackSocketHandle s, std::int32_t family,
                                          const std::string& ip, std::int32_t port) {
  if (family == Id_PF_INET6) {
    winsock::sockaddr_in6 address = Address6(ip, port);
    return Called("connect", winsock::connect(s, AsAddress(address), sizeof address));
  }
  winsock::sockaddr_in address{};
  address.sin_family = static_cast<std::int16_t>(family);
  address.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
  address.sin_addr.s_addr = TextToAddressValue(ip);
  return Called("connect", winsock::connect(s, AsAddress(address), kAddressSize));
}

std::string TIdStackWindows::SockHostByName(const std::string& hostName) {
  winsock::hostent* host = Called("gethostbyname", winsock::gethostbyname(hostName.c_str()));
  if (host == nullptr) CheckSocketResult(Id_SOCKET_ERROR);
  // An answer without an IPv4 address is as good as no answer.
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
      host->h_length != 4)
    ThrowSocketError(winsock::WSAHOST_NOT_FOUND);
  winsock::in_addr address{};
  std::memcpy(&address.s_addr, host->h_addr_list[0], 4);
  return AddressToText(address);
}

TIdIPAddresses TIdStackWindows::SockHostAddresses(const std::string& hostName) {
  winsock::addrinfo hints{};
  hints.ai_family = winsock::AF_UNSPEC;
  hints.ai_socktype = winsock::SOCK_STREAM;  // one answer per address
  winsock::addrinfo* found = nullptr;
  const int error = winsock::getaddrinfo(hostName.c_str(), nullptr, &hints, &found);
  if (error != 0) {
    CheckStarted("getaddrinfo");
    ThrowSocketError(error);
  }
  TIdIPAddresses addresses;
  for (const winsock::addrinfo* item = found; item != nullptr; item = item->ai_next) {
    if (item->ai_addr == nullptr) continue;
    winsock::sockaddr_storage storage{};
    std::memcpy(&storage, item->ai_addr, std::min(item->ai_addrlen, sizeof storage));
    std::int32_t family = 0;
    std::int32_t port = 0;
    TIdIPAddress address;
    AddressOf(storage, family, address.IP, port);
    address.IPVersion = family == winsock::AF_INET6 ? Id_IPv6 : Id_IPv4;
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
      addresses.push_back(std::move(address));
  }
  winsock::freeaddrinfo(found);
  if (addresses.empty()) ThrowSocketError(winsock::WSAHOST_NOT_FOUND);
  return addresses;
}

bool TIdStackWindows::IPv6Available() {
  const TIdStackSocketHandle s =
      Called("socket", winsock::socket(winsock::AF_INET6, winsock::SOCK_STREAM, 0));
  if (s == Id_INVALID_SOCKET) return false;  // no IPv6 in this system at all
  winsock::sockaddr_in6 loopback{};
  loopback.sin6_family = winsock::AF_INET6;
  loopback.sin6_addr.s6_addr[15] = 1;
  // IPv6 switched off leaves loopback without ::1, and the bind fails.
  const bool usable = winsock::bind(s, AsAddress(loopback), sizeof loopback) == 0;
  winsock::closesocket(s);
  return usable;
}

std::string TIdStackWindows::SockLocalHostName() {
  char name[250] = {};
  Called("gethostname", winsock::gethostname(name, sizeof(name) - 1));
  return std::string(name);
}

std::string TIdStackWindows::SockHostByAddress(const std::string& address) {
  winsock::u_long value = winsock::inet_addr(address.c_str());
  winsock::hostent* host =
      Called("gethostbyaddr",
             winsock::gethostbyaddr(reinterpret_cast<const char*>(&value), 4, winsock::AF_INET));
  if (host == nullptr) CheckSocketResult(Id_SOCKET_ERROR);
  if (host == nullptr || host->h_name == nullptr) ThrowSocketError(winsock::WSAHOST_NOT_FOUND);
  return host->h_name;
}

std::int32_t TIdStackWindows::SockServiceByName(const std::string& serviceName) {
  if (winsock::servent* service =
          Called("getservbyname", winsock::getservbyname(serviceName.c_str(), nullptr)))
    return winsock::ntohs(static_cast<winsock::u_short>(service->s_port));
  try {
    return StrToInt(serviceName);
  } catch (const EConvertError&) {
    throw EIdInvalidServiceName(serviceName);
  }
}

std::vector<std::string> TIdStackWindows::SockServiceByPort(std::int32_t port) {
  std::vector<std::string> names;
  winsock::servent* service =
      Called("getservbyport",
             winsock::getservbyport(winsock::htons(static_cast<winsock::u_short>(port)), nullptr));
  if (service != nullptr) {
    if (service->s_name != nullptr) names.emplace_back(service->s_name);
    for (char** alias = service->s_aliases; alias != nullptr && *alias != nullptr; ++alias)
      names.emplace_back(*alias);
  }
  return names;
}

winsock::u_short TIdStackWindows::SockHostToNet16(winsock::u_short value) {
  return winsock::htons(value);
}

std::int32_t TIdStackWindows::SockListen(TIdStackSocketHandle s, std::int32_t backlog) {
  return Called("listen", winsock::listen(s, backlog));
}

winsock::u_short TIdStackWindows::SockNetToHost16(winsock::u_short value) {
  return winsock::ntohs(value);
}

winsock::u_long TIdStackWindows::SockHostToNet32(winsock::u_long value) {
  return winsock::htonl(value);
}

winsock::u_long TIdStackWindows::SockNetToHost32(winsock::u_long value) {
  return winsock::ntohl(value);
}

std::int32_t TIdStackWindows::SockReceive(TIdStackSocketHandle s, void* buffer, std::int32_t length,
                                          std::int32_t flags) {
  return Called("recv", winsock::recv(s, static_cast<char*>(buffer), length, flags));
}

std::int32_t TIdStackWindows::SockReceiveFrom(TIdStackSocketHandle s, void* buffer,
                                              std::int32_t length, std::int32_t flags,
                                              std::string& ip, std::int32_t& port) {
  winsock::sockaddr_storage address{};
  int addressLength = kStorageSize;
  std::int32_t result =
      Called("recvfrom", winsock::recvfrom(s, static_cast<char*>(buffer), length, flags,
                                           AsAddress(address), &addressLength));
  if (result != Id_SOCKET_ERROR) {
    std::int32_t family = 0;
    AddressOf(address, family, ip, port);
  }
  return result;
}

std::int32_t TIdStackWindows::SockSelect(TIdSocketValues* readList, TIdSocketValues* writeList,
                                         TIdSocketValues* exceptList, std::int32_t timeoutMs) {
  TIdSocketValues* lists[3] = {readList, writeList, exceptList};
  for (TIdSocketValues* list : lists)
    if (list != nullptr && list->size() > static_cast<std::size_t>(winsock::FDSET_SIZE))
      throw EIdStackSetSizeExceeded();

  winsock::fd_set sets[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (lists[i] == nullptr) continue;
    sets[i].fd_count = static_cast<winsock::u_int>(lists[i]->size());
    std::copy(lists[i]->begin(), lists[i]->end(), sets[i].fd_array);
  }

  winsock::timeval limit{};
  const winsock::timeval* limitPointer = nullptr;
  if (timeoutMs != IdTimeoutInfinite) {
    // No other negative value has a meaning here; poll rather than pass a negative time.
    std::int32_t ms = std::max(timeoutMs, 0);
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    limitPointer = &limit;
  }
  std::int32_t result =
      Called("select", winsock::select(0, &sets[0], &sets[1], &sets[2], limitPointer));

  for (int i = 0; i < 3; ++i) {
    if (lists[i] == nullptr) continue;
    std::size_t count = std::min<std::size_t>(sets[i].fd_count, winsock::FDSET_SIZE);
    lists[i]->assign(sets[i].fd_array, sets[i].fd_array + count);
  }
  return result;
}

std::int32_t TIdStackWindows::SockSend(TIdStackSocketHandle s, const void* buffer,
                                       std::int32_t length, std::int32_t flags) {
  return Called("send", winsock::send(s, static_cast<const char*>(buffer), length, flags));
}

std::int32_t TIdStackWindows::SockSendTo(TIdStackSocketHandle s, const void* buffer,
                                         std::int32_t length, std::int32_t flags,
                                         const std::string& ip, std::int32_t port) {
  if (IsIPv6Address(ip)) {
    winsock::sockaddr_in6 address = Address6(ip, port);
    return Called("sendto", winsock::sendto(s, static_cast<const char*>(buffer), length, flags,
                                            AsAddress(address), sizeof address));
  }
  winsock::sockaddr_in address{};
  address.sin_family = winsock::AF_INET;
  address.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
  address.sin_addr.s_addr = TextToAddressValue(ip);
  return Called("sendto", winsock::sendto(s, static_cast<const char*>(buffer), length, flags,
                                          AsAddress(address), kAddressSize));
}

std::int32_t TIdStackWindows::SockSetOption(TIdStackSocketHandle s, std::int32_t level,
                                            std::int32_t option, const void* value,
                                            std::int32_t length) {
  return Called("setsockopt",
                winsock::setsockopt(s, level, option, static_cast<const char*>(value), length));
}

TIdStackSocketHandle TIdStackWindows::SockOpen(std::int32_t family, std::int32_t type,
                                               std::int32_t protocol) {
  return Called("socket", winsock::socket(family, type, protocol));
}

std::int32_t TIdStackWindows::SockShutdown(TIdStackSocketHandle s, std::int32_t how) {
  return Called("shutdown", winsock::shutdown(s, how));
}

std::string TIdStackWindows::SocketErrorText(std::int32_t errorNumber) {
  if (errorNumber == winsock::WSAHOST_NOT_FOUND)
    return Format("Socket Error # %d\r\n%s", errorNumber, "Host not found.");
  return TIdStack::SocketErrorText(errorNumber);
}

std::int32_t TIdStackWindows::SockLastError() {
  return winsock::WSAGetLastError();
}

void TIdStackWindows::SockPeerAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                                      std::int32_t& port) {
  winsock::sockaddr_storage address{};
  int length = kStorageSize;
  CheckSocketResult(Called("getpeername", winsock::getpeername(s, AsAddress(address), &length)));
  AddressOf(address, family, ip, port);
}

void TIdStackWindows::SockLocalAddress(TIdStackSocketHandle s, std::int32_t& family,
                                       std::string& ip, std::int32_t& port) {
  winsock::sockaddr_storage address{};
  int length = kStorageSize;
  CheckSocketResult(Called("getsockname", winsock::getsockname(s, AsAddress(address), &length)));
  AddressOf(address, family, ip, port);
}

std::int32_t TIdStackWindows::SockGetOption(TIdStackSocketHandle s, std::int32_t level,
                                            std::int32_t option, void* value,
                                            std::int32_t& length) {
  return Called("getsockopt",
                winsock::getsockopt(s, level, option, static_cast<char*>(value), &length));
}

std::string TIdStackWindows::AddressToText(const winsock::in_addr& address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address.s_addr, 4);
  return Format("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

void TIdStackWindows::TextToAddress(const std::string& text, winsock::in_addr& address) {
  // Read as inet_addr reads it, as browsers and resolvers do: "0177.0.0.1" is 127.0.0.1 and
  // "127.1" is 127.0.0.1. inet_addr answers INADDR_NONE both for bad text and for the broadcast
  // address, so only the broadcast address's own text may give that value.
  const winsock::u_long value = winsock::inet_addr(text.c_str());
  if (value == winsock::INADDR_NONE && text != "255.255.255.255")
    throw EConvertError(Format("'%s' is not a valid IP address", text));
  address.s_addr = value;
}

TIdFileSendHook FileSendHook() {
  return gFileSendHook.load();
}

void SetFileSendHook(TIdFileSendHook hook) {
  gFileSendHook.store(hook);
}

std::int64_t TransmitWholeFile(TIdStackSocketHandle s, const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::int64_t size = 0;
  struct stat info {};
  // Only regular files: a pipe or device could block the send without end.
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (winsock::TransmitFile(s, fd))
      size = info.st_size;
    else
      CheckStarted("TransmitFile");
  }
  ::close(fd);
  return size;
}
