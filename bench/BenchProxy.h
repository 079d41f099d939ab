#pragma once

#include <cstdint>

#include "net/IdStack.h"
#include "support/LoopbackProxy.h"

namespace bench {

// The proxy as the program builds it (the system's largest listen queue, real one-second pauses)
// at the given limit. Its view keeps no texts: every status caption it counts is one paced slice.
inline test::LoopbackProxyOptions PacedProxy(std::int32_t limit) {
  return {.listenQueue = Id_SOMAXCONN, .speedLimit = limit, .keepViewTexts = false};
}

}  // namespace bench
