#include "support/LoopbackListen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace test {

int ListenOnLoopback(int backlog, std::int32_t& port, int typeFlags) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | typeFlags, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace test
