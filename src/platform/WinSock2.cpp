// Start-up, errors, closesocket and the small pure helpers of the WinSock layer.

#include "platform/WinSock2.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/WinSockInternal.h"
#include "rtl/CriticalSection.h"

namespace winsock {

namespace {

rtl::TMutex startupMutex;
int startupCount GUARDED_BY(startupMutex) = 0;
std::atomic<bool> startedFlag{false};  // mirrors startupCount > 0 for the per-call check

thread_local int lastError = 0;

void CopyText(char* target, std::size_t size, const char* text) {
  std::strncpy(target, text, size - 1);
  target[size - 1] = '\0';
}

}  // namespace

namespace detail {

bool Started() {
  return startedFlag.load(std::memory_order_acquire);
}

int Fail(int error) {
  lastError = error;
  return SOCKET_ERROR;
}

bool CheckStarted() {
  if (Started()) return true;
  Fail(WSANOTINITIALISED);
  return false;
}

SocketTable& Sockets() {
  // Never destroyed: threads that outlive main may still be inside a call.
  static SocketTable* table = new SocketTable;
  return *table;
}

std::shared_ptr<SocketEntry> Use(SOCKET s) {
  if (!CheckStarted()) return nullptr;
  auto entry = Sockets().Find(s);
  if (!entry || entry->Closed()) {
    Fail(WSAENOTSOCK);
    return nullptr;
  }
  return entry;
}

int ErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;  // EWOULDBLOCK is the same value on Linux
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;  // ENOTSUP is the same value on Linux
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    // The kernel says EPIPE when writing to a connection the peer has already torn down; WinSock
    // reports that as a reset. Writing after our own shutdown is caught before the kernel.
    case EPIPE:
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    default:
      return WSAEINVAL;  // nothing closer in the WinSock range
  }
}

}  // namespace detail

int WSAStartup(std::uint16_t versionRequested, WSAData* data) {
  const std::uint8_t major = versionRequested & 0xff;
  const std::uint8_t minor = versionRequested >> 8;
  if (major != 2) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;

  std::memset(data, 0, sizeof *data);
  data->wVersion = MakeWord(2, minor < 2 ? minor : 2);
  data->wHighVersion = MakeWord(2, 2);
  CopyText(data->szDescription, sizeof data->szDescription, "WinSock 2.2 over POSIX sockets");
  CopyText(data->szSystemStatus, sizeof data->szSystemStatus, "Running");

  rtl::TMutexGuard lock(startupMutex);
  ++startupCount;
  startedFlag.store(true, std::memory_order_release);
  return 0;
}

int WSACleanup() {
  std::vector<std::shared_ptr<detail::SocketEntry>> leftOver;
  {
    rtl::TMutexGuard lock(startupMutex);
    if (startupCount == 0) return detail::Fail(WSANOTINITIALISED);
    if (--startupCount > 0) return 0;
    startedFlag.store(false, std::memory_order_release);
    // As on Windows, the last clean-up closes whatever sockets are still open.
    leftOver = detail::Sockets().RemoveAll();
  }
  return 0;
}

int WSAGetLastError() {
  return lastError;
}

void WSASetLastError(int error) {
  lastError = error;
}

int closesocket(SOCKET s) {
  if (!detail::CheckStarted()) return SOCKET_ERROR;
  // The descriptor goes when the last call using the entry lets go of it, maybe right here.
  if (!detail::Sockets().Remove(s)) return detail::Fail(WSAENOTSOCK);
  return 0;
}

u_short htons(u_short hostshort) {
  if constexpr (std::endian::native == std::endian::big) return hostshort;
  return static_cast<u_short>((hostshort << 8) | (hostshort >> 8));
}

u_short ntohs(u_short netshort) {
  return htons(netshort);
}

u_long htonl(u_long hostlong) {
  if constexpr (std::endian::native == std::endian::big) return hostlong;
  return ((hostlong & 0xff) << 24) | ((hostlong & 0xff00) << 8) | ((hostlong >> 8) & 0xff00) |
         (hostlong >> 24);
}

u_long ntohl(u_long netlong) {
  return htonl(netlong);
}

void FdZero(fd_set* set) {
  set->fd_count = 0;
}

void FdSet(SOCKET s, fd_set* set) {
  if (FdIsSet(s, set) || set->fd_count >= static_cast<u_int>(FDSET_SIZE)) return;
  set->fd_array[set->fd_count++] = s;
}

void FdClr(SOCKET s, fd_set* set) {
  u_int kept = 0;
  for (u_int i = 0; i < set->fd_count && i < static_cast<u_int>(FDSET_SIZE); ++i)
    if (set->fd_array[i] != s) set->fd_array[kept++] = set->fd_array[i];
  set->fd_count = kept;
}

bool FdIsSet(SOCKET s, const fd_set* set) {
  for (u_int i = 0; i < set->fd_count && i < static_cast<u_int>(FDSET_SIZE); ++i)
    if (set->fd_array[i] == s) return true;
  return false;
}

}  // namespace winsock
