#include "HoldProxy.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ScaleLoad.h"
#include "net/IdStackWindows.h"
#include "rtl/ResourceLimit.h"
#include "support/LoopbackProxy.h"

namespace bench {
namespace {

// The platform's stack, but for one name, which it gives addresses in TEST-NET-1 (192.0.2.0/24)
// as a resolver would give a host's many addresses; the benchmark routes them nowhere.
class HoleStack : public TIdStackWindows {
 public:
  TIdIPAddresses SockHostAddresses(const std::string& hostName) override {
    if (hostName != kHoleName) return TIdStackWindows::SockHostAddresses(hostName);
    TIdIPAddresses addresses;
    for (int i = 1; i <= kHoleAddresses; ++i)
      addresses.push_back({"192.0.2." + std::to_string(i), Id_IPv4});
    return addresses;
  }
};

}  // namespace

int RunHoldProxyProcess() {
  EndWithParent("hold-proxy");
  rtl::RaiseOpenFileLimit();
  SetStackClass([]() -> std::unique_ptr<TIdStack> { return std::make_unique<HoleStack>(); });
  // As the program builds it: default deadlines, real pauses, the system's largest listen queue.
  test::LoopbackProxy proxy(
      test::LoopbackProxyOptions{.listenQueue = Id_SOMAXCONN, .keepViewTexts = false});
  std::printf("port %d\n", proxy.Port());
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    if (std::strncmp(line, "runs", 4) != 0) continue;
    std::printf("runs %d\n", proxy.Counters().ConnectionCount.load());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace bench
