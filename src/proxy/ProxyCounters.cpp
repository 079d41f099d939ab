#include "proxy/ProxyCounters.h"

namespace proxy {

ProxyCounters& Counters() {
  static ProxyCounters counters;
  return counters;
}

}  // namespace proxy
