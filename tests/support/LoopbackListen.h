#pragma once

#include <cstdint>

namespace test {

// A TCP socket listening on 127.0.0.1 (::1 with ipv6) at a port the system picks, made with plain
// POSIX calls and the extra socket type flags given (SOCK_NONBLOCK, say; it is always
// close-on-exec). The descriptor, with port set, or -1 with errno set and nothing left open.
int ListenOnLoopback(int backlog, std::int32_t& port, int typeFlags = 0, bool ipv6 = false);

}  // namespace test
