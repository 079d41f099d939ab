#pragma once

#include <cstdint>

namespace rtl {

// Raises the process's soft limit on open files to its hard limit, where it is lower: a proxy
// holds two descriptors per download, and the usual soft limit of 1024 would cap it at a few
// hundred. Gives the soft limit in force afterwards (0 when it cannot be read).
std::uint64_t RaiseOpenFileLimit();

}  // namespace rtl
