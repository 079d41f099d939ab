#include "support/PrivateNetwork.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace test {
namespace {

bool WriteFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

}  // namespace

bool EnterPrivateNetwork() {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  // Root needs no user namespace of its own, and keeps its real identity for what it starts.
  if (::unshare(CLONE_NEWNET | (uid == 0 ? 0 : CLONE_NEWUSER)) != 0) return false;
  if (uid != 0 && (!WriteFile("/proc/self/setgroups", "deny") ||
                   !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                   !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
    return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request = {};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return up;
}

}  // namespace test
