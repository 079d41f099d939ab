// setsockopt and getsockopt: WinSock levels, names and value layouts, translated.
//
// SO_REUSEADDR keeps its Linux meaning: it lets a listener rebind a port whose old connections
// are still in TIME_WAIT, but never lets two live sockets share a port as it does on Windows.
// SO_RCVTIMEO and SO_SNDTIMEO take a DWORD of milliseconds, as on Windows, and are applied by our
// own waits (the descriptors underneath are non-blocking). SO_RCVBUF and SO_SNDBUF read back what
// the kernel uses, which on Linux is twice what was asked for.

#include <cerrno>
#include <cstring>

#include "platform/PosixSocket.h"
#include "platform/WinSock2.h"
#include "platform/WinSockInternal.h"

namespace winsock {

namespace {

using detail::Fail;

constexpr int kIntSize = static_cast<int>(sizeof(int));

// The integer options and whether each is a boolean; false when optname is not one of them.
bool IntOptionFor(int level, int optname, posix::IntOption* option, bool* boolean) {
  *boolean = true;
  if (level == IPPROTO_TCP) {
    *option = posix::IntOption::NoDelay;
    return optname == TCP_NODELAY;
  }
  if (level == IPPROTO_IPV6) {
    *option = posix::IntOption::V6Only;
    return optname == IPV6_V6ONLY;
  }
  if (level != SOL_SOCKET) return false;
  switch (optname) {
    case SO_DEBUG:
      *option = posix::IntOption::Debug;
      return true;
    case SO_ACCEPTCONN:
      *option = posix::IntOption::AcceptConn;
      return true;
    case SO_REUSEADDR:
      *option = posix::IntOption::ReuseAddress;
      return true;
    case SO_KEEPALIVE:
      *option = posix::IntOption::KeepAlive;
      return true;
    case SO_DONTROUTE:
      *option = posix::IntOption::DontRoute;
      return true;
    case SO_BROADCAST:
      *option = posix::IntOption::Broadcast;
      return true;
    case SO_OOBINLINE:
      *option = posix::IntOption::OobInline;
      return true;
    case SO_SNDBUF:
      *boolean = false;
      *option = posix::IntOption::SendBuffer;
      return true;
    case SO_RCVBUF:
      *boolean = false;
      *option = posix::IntOption::ReceiveBuffer;
      return true;
    default:
      return false;
  }
}

// Option calls report "not for this kind of socket" the WinSock way.
int FailOption(int negatedErrno) {
  const int error = -negatedErrno;
  if (error == ENOPROTOOPT || error == EOPNOTSUPP) return Fail(WSAENOPROTOOPT);
  return Fail(detail::ErrorFromErrno(error));
}

int PutInt(int value, char* optval, int* optlen) {
  if (*optlen < kIntSize) return Fail(WSAEFAULT);
  std::memcpy(optval, &value, sizeof value);
  *optlen = kIntSize;
  return 0;
}

}  // namespace

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (!optval || optlen < 0) return Fail(WSAEFAULT);
  const int fd = entry->Descriptor();

  if (level == SOL_SOCKET) {
    switch (optname) {
      case SO_LINGER: {
        if (optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
        linger value;
        std::memcpy(&value, optval, sizeof value);
        int result = posix::SetLinger(fd, value.l_onoff != 0, value.l_linger);
        return result < 0 ? FailOption(result) : 0;
      }
      case SO_RCVTIMEO:
      case SO_SNDTIMEO: {
        if (optlen < kIntSize) return Fail(WSAEFAULT);
        std::uint32_t ms;
        std::memcpy(&ms, optval, sizeof ms);
        if (optname == SO_RCVTIMEO)
          entry->SetReceiveTimeout(ms);
        else
          entry->SetSendTimeout(ms);
        return 0;
      }
      case SO_ACCEPTCONN:
      case SO_ERROR:
      case SO_TYPE:
        return Fail(WSAENOPROTOOPT);  // read-only
    }
  }

  posix::IntOption option;
  bool boolean;
  if (!IntOptionFor(level, optname, &option, &boolean)) return Fail(WSAENOPROTOOPT);
  int value = 0;
  if (optlen >= kIntSize)
    std::memcpy(&value, optval, sizeof value);
  else if (boolean && optlen >= 1)  // WinSock also takes a one-byte BOOL
    value = static_cast<unsigned char>(optval[0]);
  else
    return Fail(WSAEFAULT);
  if (boolean) value = value != 0;
  int result = posix::SetIntOption(fd, option, value);
  return result < 0 ? FailOption(result) : 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  auto entry = detail::Use(s);
  if (!entry) return SOCKET_ERROR;
  if (!optval || !optlen) return Fail(WSAEFAULT);
  const int fd = entry->Descriptor();

  if (level == SOL_SOCKET) {
    switch (optname) {
      case SO_LINGER: {
        if (*optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
        bool on = false;
        int seconds = 0;
        int result = posix::GetLinger(fd, &on, &seconds);
        if (result < 0) return FailOption(result);
        linger value{static_cast<u_short>(on ? 1 : 0), static_cast<u_short>(seconds)};
        std::memcpy(optval, &value, sizeof value);
        *optlen = static_cast<int>(sizeof value);
        return 0;
      }
      case SO_RCVTIMEO:
        return PutInt(static_cast<int>(entry->ReceiveTimeout()), optval, optlen);
      case SO_SNDTIMEO:
        return PutInt(static_cast<int>(entry->SendTimeout()), optval, optlen);
      case SO_ERROR: {
        int pending = 0;
        int result = posix::GetIntOption(fd, posix::IntOption::Error, &pending);
        if (result < 0) return FailOption(result);
        return PutInt(detail::ErrorFromErrno(pending), optval, optlen);
      }
      case SO_TYPE: {
        int kind = 0;
        int result = posix::GetIntOption(fd, posix::IntOption::Type, &kind);
        if (result < 0) return FailOption(result);
        switch (static_cast<posix::SocketKind>(kind)) {
          case posix::SocketKind::Stream:
            return PutInt(SOCK_STREAM, optval, optlen);
          case posix::SocketKind::Datagram:
            return PutInt(SOCK_DGRAM, optval, optlen);
          case posix::SocketKind::Raw:
            return PutInt(SOCK_RAW, optval, optlen);
        }
        return Fail(WSAEINVAL);
      }
    }
  }

  posix::IntOption option;
  bool boolean;
  if (!IntOptionFor(level, optname, &option, &boolean)) return Fail(WSAENOPROTOOPT);
  int value = 0;
  int result = posix::GetIntOption(fd, option, &value);
  if (result < 0) return FailOption(result);
  return PutInt(boolean ? value != 0 : value, optval, optlen);
}

}  // namespace winsock
