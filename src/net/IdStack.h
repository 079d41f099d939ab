#pragma once

// The socket stack: the one process-wide object through which the network layer makes every
// socket call, and the turning of failed calls into EIdSocketError.
//
// Threads: every thread calls GlobalStack() at once without a lock. The operations keep no shared
// state apart from LastErrorCode, which is per calling thread, and the local-address cache, which
// has its own lock. StackLock() guards only the user count and the creation and freeing of the
// stack: the first user (network component) creates it, the last one frees it.
//
// "Raw" operations return the library's result unchanged (-1 on failure, the number then read with
// SockLastError) and leave the check to the caller, as a rule through CheckSocketResult.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/CriticalSection.h"

#include "platform/WinSock2.h"

using TIdStackSocketHandle = winsock::SOCKET;
inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = winsock::INVALID_SOCKET;
inline constexpr std::int32_t Id_SOCKET_ERROR = winsock::SOCKET_ERROR;
inline constexpr std::int32_t Id_PF_INET = winsock::PF_INET;
inline constexpr std::int32_t Id_PF_INET6 = winsock::PF_INET6;
inline constexpr std::int32_t Id_SOCK_STREAM = winsock::SOCK_STREAM;
inline constexpr std::int32_t Id_SOMAXCONN = winsock::SOMAXCONN;
// A time-out that waits without limit.
inline constexpr std::int32_t IdTimeoutInfinite = -2;

using TIdSocketValues = std::vector<TIdStackSocketHandle>;

// The IP version of a socket, a binding or a connection.
enum TIdIPVersion { Id_IPv4, Id_IPv6 };

// The address family a version's sockets and addresses are made in.
constexpr std::int32_t IdAddressFamily(TIdIPVersion ipVersion) {
  return ipVersion == Id_IPv6 ? Id_PF_INET6 : Id_PF_INET;
}

// One address of a host: IPv4 as dotted decimal; IPv6 in its compressed text without brackets,
// a zone after "%" (fe80::1%2).
struct TIdIPAddress {
  std::string IP;
  TIdIPVersion IPVersion = Id_IPv4;

  bool operator==(const TIdIPAddress&) const = default;
};
using TIdIPAddresses = std::vector<TIdIPAddress>;

// An address by its bytes, in network order; IPv4 in the first four.
struct TIdIPAddressBytes {
  TIdIPVersion IPVersion = Id_IPv4;
  std::array<std::uint8_t, 16> Bytes{};
};

class TIdStack {
 public:
  TIdStack() = default;
  virtual ~TIdStack() = default;
  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;

  // Local addresses of this machine, looked up afresh on every LocalAddressList call.
  virtual void FillLocalAddresses() = 0;
  // Raises EListError when the machine has no address.
  virtual std::string FirstLocalAddress() = 0;
  // A copy of the refilled cache, so concurrent callers never see it change under them.
  virtual std::vector<std::string> LocalAddressList() = 0;

  // Raw; on success ip and port receive the peer's address.
  virtual TIdStackSocketHandle SockAccept(TIdStackSocketHandle s, std::string& ip,
                                          std::int32_t& port) = 0;
  // Raw; an empty ip binds to all local addresses.
  virtual std::int32_t SockBind(TIdStackSocketHandle s, std::int32_t family, const std::string& ip,
                                std::int32_t port) = 0;
  virtual std::int32_t SockClose(TIdStackSocketHandle s) = 0;
  virtual std::int32_t SockConnect(TIdStackSocketHandle s, std::int32_t family,
                                   const std::string& ip, std::int32_t port) = 0;
  // Dotted text of the host's first address; raises EIdSocketError (11001 for an unknown host).
  virtual std::string SockHostByName(const std::string& hostName) = 0;
  // Every address of the host, both versions, in the resolver's order, each once; raises
  // EIdSocketError as SockHostByName does (11001 also when the host has no address at all).
  virtual TIdIPAddresses SockHostAddresses(const std::string& hostName) = 0;
  // Whether this machine has IPv6 to listen and connect on (an IPv6 socket binds to ::1).
  virtual bool IPv6Available() = 0;
  virtual std::string SockLocalHostName() = 0;
  // The host's official name; raises EIdSocketError on failure.
  virtual std::string SockHostByAddress(const std::string& address) = 0;
  // Port in host order; a name that is no service but a number gives the number, anything else
  // raises EIdInvalidServiceName.
  virtual std::int32_t SockServiceByName(const std::string& serviceName) = 0;
  // Official name then aliases; empty when the port is unknown.
  virtual std::vector<std::string> SockServiceByPort(std::int32_t port) = 0;
  virtual winsock::u_short SockHostToNet16(winsock::u_short value) = 0;
  virtual std::int32_t SockListen(TIdStackSocketHandle s, std::int32_t backlog) = 0;
  virtual winsock::u_short SockNetToHost16(winsock::u_short value) = 0;
  virtual winsock::u_long SockHostToNet32(winsock::u_long value) = 0;
  virtual winsock::u_long SockNetToHost32(winsock::u_long value) = 0;
  virtual std::int32_t SockReceive(TIdStackSocketHandle s, void* buffer, std::int32_t length,
                                   std::int32_t flags) = 0;
  virtual std::int32_t SockReceiveFrom(TIdStackSocketHandle s, void* buffer, std::int32_t length,
                                       std::int32_t flags, std::string& ip, std::int32_t& port) = 0;
  // Raw: ready count, 0 on time-out, -1 on failure. Each given list (null = absent) is refilled
  // with its ready sockets. More than 64 sockets in a list raises EIdStackSetSizeExceeded before
  // waiting, with the lists unchanged. IdTimeoutInfinite waits without limit.
  virtual std::int32_t SockSelect(TIdSocketValues* readList, TIdSocketValues* writeList,
                                  TIdSocketValues* exceptList, std::int32_t timeoutMs) = 0;
  virtual std::int32_t SockSend(TIdStackSocketHandle s, const void* buffer, std::int32_t length,
                                std::int32_t flags) = 0;
  virtual std::int32_t SockSendTo(TIdStackSocketHandle s, const void* buffer, std::int32_t length,
                                  std::int32_t flags, const std::string& ip, std::int32_t port) = 0;
  virtual std::int32_t SockSetOption(TIdStackSocketHandle s, std::int32_t level,
                                     std::int32_t option, const void* value,
                                     std::int32_t length) = 0;
  virtual TIdStackSocketHandle SockOpen(std::int32_t family, std::int32_t type,
                                        std::int32_t protocol) = 0;
  virtual std::int32_t SockShutdown(TIdStackSocketHandle s, std::int32_t how) = 0;
  // "Socket Error # %d\r\n%s" with the number and its text (empty for unknown numbers).
  virtual std::string SocketErrorText(std::int32_t errorNumber);
  virtual std::int32_t SockLastError() = 0;
  // Raise EIdSocketError on failure.
  virtual void SockPeerAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                               std::int32_t& port) = 0;
  virtual void SockLocalAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                                std::int32_t& port) = 0;
  // Raw; length is the buffer size in and the value's size out.
  virtual std::int32_t SockGetOption(TIdStackSocketHandle s, std::int32_t level,
                                     std::int32_t option, void* value, std::int32_t& length) = 0;
  virtual std::string AddressToText(const winsock::in_addr& address) = 0;
  // Dotted text as inet_addr reads it (octal, hexadecimal and the short forms "a.b.c", "a.b" and
  // "a"); anything else raises EConvertError.
  virtual void TextToAddress(const std::string& text, winsock::in_addr& address) = 0;

  // False when result is not -1. Otherwise records the calling thread's error number in
  // LastErrorCode and returns true when it is in ignore, or raises EIdSocketError.
  bool CheckSocketResult(std::int32_t result, std::initializer_list<std::int32_t> ignore = {});
  [[noreturn]] void ThrowSocketError(std::int32_t errorNumber);
  // The number recorded by the calling thread's most recent failed check.
  std::int32_t LastErrorCode() const;

  // A new socket of the version's family; raises EIdInvalidSocket, with the error number, when
  // none can be had.
  TIdStackSocketHandle NewSocket(std::int32_t type, std::int32_t protocol = 0,
                                 TIdIPVersion ipVersion = Id_IPv4);
  // "localhost" in any case gives 127.0.0.1 and a dotted quad the plain dotted text of the
  // address it stands for ("0177.0.0.1" gives 127.0.0.1), both without any look-up; anything else
  // goes to SockHostByName.
  std::string HostToAddress(const std::string& host);
  // What HostToAddress gives when it needs no look-up; none when it does.
  std::optional<std::string> AddressWithoutLookup(const std::string& host);
  static bool IsDottedQuad(const std::string& text);
  // The address of the version for host: for Id_IPv4 what HostToAddress gives; for Id_IPv6 an
  // IPv6 address in its compressed text (zone kept), ::1 for "localhost", or the first IPv6
  // address of the name (EIdSocketError 11001 when it has none).
  std::string HostToAddress(const std::string& host, TIdIPVersion ipVersion);
  // Every address of host, in the order to try them: an IPv4 address (any form HostToAddress
  // reads) or an IPv6 one (without brackets) gives itself, "localhost" ::1 (where this machine
  // has IPv6) and 127.0.0.1, both without any look-up; a name goes to SockHostAddresses.
  TIdIPAddresses HostToAddresses(const std::string& host);
  // What HostToAddresses gives when it needs no look-up; none when it does.
  std::optional<TIdIPAddresses> AddressesWithoutLookup(const std::string& host);
  // The one reading of address text that every layer shares: IPv4 as four decimal numbers up to
  // 255 apart by dots (no leading zeros), IPv6 as hex groups with at most one "::" and an IPv4
  // address allowed as its last 32 bits; nothing around it (no brackets, zone, blank or NUL).
  // None for any other text.
  static std::optional<TIdIPAddressBytes> ParseIPAddress(std::string_view text);
  // An IPv6 address as text: hex groups, no brackets, optionally a zone ("fe80::1%eth0").
  static bool IsIPv6Address(const std::string& text);
  // The compressed text (RFC 5952) of an IPv6 address, with "%" and the zone when scopeId is not
  // 0.
  static std::string AddressToText6(const winsock::in6_addr& address, winsock::u_long scopeId = 0);
  // Reads IsIPv6Address text into address and scopeId (a zone name is looked up among this
  // machine's interfaces); anything else raises EConvertError.
  void TextToAddress6(const std::string& text, winsock::in6_addr& address,
                      winsock::u_long& scopeId);
  // The address whose bytes in memory are the four parts in order.
  winsock::u_long TextToAddressValue(const std::string& text);

  // A new instance of StackClass().
  static std::unique_ptr<TIdStack> MakeStack();

 protected:
  // "localhost" in any letter case.
  static bool IsLocalHostName(const std::string& host);
  // The text of a socket error number without the heading; empty when unknown.
  static std::string ErrorNumberText(std::int32_t errorNumber);

  rtl::TMutex localAddressLock_;
  std::vector<std::string> localAddressCache_ GUARDED_BY(localAddressLock_);
};

using TIdStackClass = std::unique_ptr<TIdStack> (*)();

// The process-wide stack, or null while no network component lives.
TIdStack* GlobalStack();
// The platform's own stack, which MakeStack builds unless SetStackClass says otherwise: on this
// platform TIdStackWindows over the WinSock layer (IdStackDefault.cpp).
std::unique_ptr<TIdStack> MakeDefaultStack();
// What MakeStack builds; MakeDefaultStack unless changed.
TIdStackClass StackClass();
void SetStackClass(TIdStackClass stackClass);
// Guards the user count and the creation and freeing of the stack. Never freed.
rtl::TMutex& StackLock();
std::int32_t StackUserCount();
// Called by every network component as it is created and destroyed. The first user creates the
// stack (a failure leaves no stack and no user), the last one frees it.
void AddStackUser();
void RemoveStackUser();
