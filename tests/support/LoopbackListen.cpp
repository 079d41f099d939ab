#include "support/LoopbackListen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace test {

int ListenOnLoopback(int backlog, std::int32_t& port, int typeFlags, bool ipv6) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | typeFlags, 0);
  if (fd < 0) return -1;
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (ipv6) {
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    length = sizeof address;
  } else {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof address;
  }
  auto* address = reinterpret_cast<sockaddr*>(&storage);
  if (::bind(fd, address, length) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, address, &length) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                    : reinterpret_cast<sockaddr_in&>(storage).sin_port);
  return fd;
}

}  // namespace test
