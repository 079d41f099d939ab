#include <cstdio>

#include "BenchProxy.h"
#include "ScaleLoad.h"
#include "rtl/ResourceLimit.h"

namespace bench {

// The core's own process: prints its port, then answers "count" with its count of runs.
int RunCoreProcess(std::int32_t limit) {
  EndWithParent("program-core");
  rtl::RaiseOpenFileLimit();
  test::LoopbackProxy proxy(PacedProxy(limit));
  std::printf("port %d\n", proxy.Port());
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    std::printf("count %d\n", proxy.Counters().ConnectionCount.load());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace bench
