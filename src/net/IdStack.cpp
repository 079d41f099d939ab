#include "net/IdStack.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "rtl/Exception.h"
#include "rtl/Format.h"

namespace {

struct ErrorText {
  std::int32_t number;
  const char* text;
};

// Sorted by number.
constexpr std::array<ErrorText, 38> kErrorTexts{{
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
}};

thread_local std::int32_t tLastErrorCode = 0;

// The stack is owned here under StackLock and published through an atomic pointer, because
// every thread reads it without the lock. Only the last user frees it: the owner is never
// destroyed itself, so that at process exit the stack outlives peer threads still cleaning up.
struct StackOwner {
  rtl::TMutex lock;  // StackLock()
  std::unique_ptr<TIdStack> stack GUARDED_BY(lock);
  std::int32_t users GUARDED_BY(lock) = 0;
};
StackOwner& TheStackOwner() {
  static StackOwner* owner = new StackOwner;
  return *owner;
}
std::atomic<TIdStack*> gGlobalStack{nullptr};
std::atomic<TIdStackClass> gStackClass{nullptr};

}  // namespace

std::string TIdStack::ErrorNumberText(std::int32_t errorNumber) {
  auto it = std::lower_bound(kErrorTexts.begin(), kErrorTexts.end(), errorNumber,
                             [](const ErrorText& e, std::int32_t n) { return e.number < n; });
  if (it == kErrorTexts.end() || it->number != errorNumber) return {};
  return it->text;
}

std::string TIdStack::SocketErrorText(std::int32_t errorNumber) {
  return Format("Socket Error # %d\r\n%s", errorNumber, ErrorNumberText(errorNumber));
}

bool TIdStack::CheckSocketResult(std::int32_t result, std::initializer_list<std::int32_t> ignore) {
  if (result != Id_SOCKET_ERROR) return false;
  tLastErrorCode = SockLastError();
  if (std::find(ignore.begin(), ignore.end(), tLastErrorCode) != ignore.end()) return true;
  ThrowSocketError(tLastErrorCode);
}

void TIdStack::ThrowSocketError(std::int32_t errorNumber) {
  throw EIdSocketError(errorNumber, SocketErrorText(errorNumber));
}

std::int32_t TIdStack::LastErrorCode() const {
  return tLastErrorCode;
}

TIdStackSocketHandle TIdStack::NewSocket(std::int32_t type, std::int32_t protocol,
                                         TIdIPVersion ipVersion) {
  TIdStackSocketHandle s = SockOpen(IdAddressFamily(ipVersion), type, protocol);
  if (s == Id_INVALID_SOCKET) throw EIdInvalidSocket(SockLastError());
  return s;
}

bool TIdStack::IsLocalHostName(const std::string& host) {
  std::string upper = host;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
  return upper == "LOCALHOST";
}

std::optional<std::string> TIdStack::AddressWithoutLookup(const std::string& host) {
  if (IsLocalHostName(host)) return "127.0.0.1";
  if (IsDottedQuad(host)) {
    // The plain text of the address actually meant, so that whoever reads the result judges the
    // destination we connect to ("010.0.0.1" is 8.0.0.1).
    winsock::in_addr address{};
    try {
      TextToAddress(host, address);
      return AddressToText(address);
    } catch (const EConvertError&) {
      // No address after all ("08.0.0.1"): a name like any other, for the look-up to judge.
    }
  }
  return std::nullopt;
}

std::string TIdStack::HostToAddress(const std::string& host) {
  if (std::optional<std::string> known = AddressWithoutLookup(host)) return std::move(*known);
  return SockHostByName(host);
}

std::string TIdStack::HostToAddress(const std::string& host, TIdIPVersion ipVersion) {
  if (ipVersion == Id_IPv4) return HostToAddress(host);
  for (TIdIPAddress& address : HostToAddresses(host))
    if (address.IPVersion == Id_IPv6) return std::move(address.IP);
  ThrowSocketError(winsock::WSAHOST_NOT_FOUND);
}

TIdIPAddresses TIdStack::HostToAddresses(const std::string& host) {
  if (std::optional<TIdIPAddresses> known = AddressesWithoutLookup(host)) return std::move(*known);
  return SockHostAddresses(host);
}

std::optional<TIdIPAddresses> TIdStack::AddressesWithoutLookup(const std::string& host) {
  if (IsLocalHostName(host)) {
    // ::1 first, as resolvers order them: a server started on "localhost" may listen there only.
    TIdIPAddresses loopback;
    if (IPv6Available()) loopback.push_back({"::1", Id_IPv6});
    loopback.push_back({"127.0.0.1", Id_IPv4});
    return loopback;
  }
  if (std::optional<std::string> ipv4 = AddressWithoutLookup(host))
    return TIdIPAddresses{{std::move(*ipv4), Id_IPv4}};
  if (IsIPv6Address(host)) {
    winsock::in6_addr address{};
    winsock::u_long scopeId = 0;
    try {
      TextToAddress6(host, address, scopeId);
      return TIdIPAddresses{{AddressToText6(address, scopeId), Id_IPv6}};
    } catch (const EConvertError&) {
      // A zone this machine has no interface for: the look-up judges it, as any name.
    }
  }
  return std::nullopt;
}

std::optional<TIdIPAddressBytes> TIdStack::ParseIPAddress(std::string_view text) {
  // The library reads C text, which a NUL would end early.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  TIdIPAddressBytes address;
  address.IPVersion = text.find(':') == std::string_view::npos ? Id_IPv4 : Id_IPv6;
  if (winsock::inet_pton(IdAddressFamily(address.IPVersion), std::string(text).c_str(),
                         address.Bytes.data()) != 1)
    return std::nullopt;
  return address;
}

bool TIdStack::IsIPv6Address(const std::string& text) {
  const std::size_t percent = text.find('%');
  if (percent != std::string::npos) {
    const std::string zone = text.substr(percent + 1);
    if (zone.empty() || !std::all_of(zone.begin(), zone.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        }))
      return false;
  }
  const std::optional<TIdIPAddressBytes> address =
      ParseIPAddress(std::string_view(text).substr(0, percent));
  return address && address->IPVersion == Id_IPv6;
}

std::string TIdStack::AddressToText6(const winsock::in6_addr& address, winsock::u_long scopeId) {
  char text[winsock::INET6_ADDRSTRLEN] = {};
  if (winsock::inet_ntop(winsock::AF_INET6, &address, text, sizeof text) == nullptr) return {};
  std::string result = text;
  if (scopeId != 0) {
    result += '%';
    result += std::to_string(scopeId);
  }
  return result;
}

void TIdStack::TextToAddress6(const std::string& text, winsock::in6_addr& address,
                              winsock::u_long& scopeId) {
  const auto invalid = [&text] {
    return EConvertError(Format("'%s' is not a valid IP address", text));
  };
  if (!IsIPv6Address(text)) throw invalid();
  const std::size_t percent = text.find('%');
  winsock::inet_pton(winsock::AF_INET6, text.substr(0, percent).c_str(), &address);
  scopeId = 0;
  if (percent == std::string::npos) return;
  const std::string zone = text.substr(percent + 1);
  const char* end = zone.data() + zone.size();
  winsock::u_long number = 0;
  if (std::from_chars(zone.data(), end, number).ptr == end) {
    scopeId = number;
    return;
  }
  // A zone given by the interface's name: the system's numeric look-up knows the interfaces.
  winsock::addrinfo hints{};
  hints.ai_family = winsock::AF_INET6;
  hints.ai_flags = winsock::AI_NUMERICHOST;
  winsock::addrinfo* found = nullptr;
  if (winsock::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    throw invalid();
  winsock::sockaddr_in6 resolved{};
  std::memcpy(&resolved, found->ai_addr, sizeof resolved);
  winsock::freeaddrinfo(found);
  scopeId = resolved.sin6_scope_id;
}

bool TIdStack::IsDottedQuad(const std::string& text) {
  std::string rest = text;
  for (int part = 0; part < 4; ++part) {
    // The fourth part is whatever remains, dots included, so "1.2.3.4.5" fails here.
    std::string piece = part < 3 ? CutToken(rest, ".") : rest;
    std::int32_t value = StrToIntDef(piece, -1);
    if (value < 0 || value > 255) return false;
  }
  return true;
}

winsock::u_long TIdStack::TextToAddressValue(const std::string& text) {
  winsock::in_addr address{};
  TextToAddress(text, address);
  return address.s_addr;
}

std::unique_ptr<TIdStack> TIdStack::MakeStack() {
  return StackClass()();
}

TIdStack* GlobalStack() {
  return gGlobalStack.load(std::memory_order_acquire);
}

TIdStackClass StackClass() {
  TIdStackClass stackClass = gStackClass.load();
  return stackClass ? stackClass : &MakeDefaultStack;
}

void SetStackClass(TIdStackClass stackClass) {
  gStackClass.store(stackClass);
}

rtl::TMutex& StackLock() {
  // Leaked with its owner: components destroyed during static destruction still need it.
  return TheStackOwner().lock;
}

std::int32_t StackUserCount() {
  StackOwner& owner = TheStackOwner();
  rtl::TMutexGuard guard(owner.lock);
  return owner.users;
}

void AddStackUser() {
  StackOwner& owner = TheStackOwner();
  rtl::TMutexGuard guard(owner.lock);
  if (owner.users == 0) {
    // Make the stack before counting, so a failed start-up leaves neither stack nor user.
    owner.stack = TIdStack::MakeStack();
    gGlobalStack.store(owner.stack.get(), std::memory_order_release);
  }
  ++owner.users;
}

void RemoveStackUser() {
  StackOwner& owner = TheStackOwner();
  rtl::TMutexGuard guard(owner.lock);
  if (owner.users == 0) return;  // unbalanced removal: nothing to free
  if (--owner.users == 0) {
    gGlobalStack.store(nullptr, std::memory_order_release);
    owner.stack.reset();
  }
}
