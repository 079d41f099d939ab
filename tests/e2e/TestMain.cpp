// The program's end-to-end tests run in a network namespace of their own, with only loopback up,
// so that port 1080 is theirs whatever else runs on the machine. The namespace is entered before
// any thread starts; the desktop, the origins, curl and the program all live inside it.

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

bool WriteFile(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// As `unshare -rn` followed by `ip link set lo up`.
bool EnterPrivateNetwork() {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  int flags = CLONE_NEWNET | (uid == 0 ? 0 : CLONE_NEWUSER);
  if (::unshare(flags) != 0) return false;
  if (uid != 0 && (!WriteFile("/proc/self/setgroups", "deny") ||
                   !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                   !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
    return false;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request = {};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return up;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!::testing::GTEST_FLAG(list_tests) && !EnterPrivateNetwork()) {
    std::perror("the tests' network namespace could not be made");
    return 1;
  }
  return RUN_ALL_TESTS();
}
