#pragma once

// A socket stack that lets nothing leave 127.0.0.0/8, installed for the whole hostile suite before
// the first network component exists. Every connect asked for is recorded; one to any other
// address (IPv6: other than ::1) is refused. Look-ups answer only for a few names of the suite's
// own, among them v6only.test (::1) and dual.test (::1, then 127.0.0.1).
// Clients connecting from 127.0.0.2 are reported as a host on the LAN, and the LAN address
// kLanOrigin is reached on 127.0.0.1, so the rules for remote clients are exercised on loopback.
// hole.test has one address and hole50.test fifty, all in 198.51.100.0/24, which is reached on
// 127.0.0.1 too: with a black-hole origin on the port asked for, none of them ever answers.

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

inline constexpr const char* kRemoteClientSource = "127.0.0.2";
inline constexpr const char* kRemoteClientReported = "192.168.77.2";
inline constexpr const char* kLanOrigin = "10.77.0.1";

struct Connect {
  std::string address;  // as asked for, before any mapping
  std::int32_t port;
};

// While set, look-ups of "hang.test" block as with a resolver that never answers; clearing it
// ends them, the name unknown. BlockedLookups counts those blocked right now.
void SetResolverHangs(bool hangs);
int BlockedLookups();

// Installs the stack; call before any network component is made.
void InstallGuardStack();
// Connects asked for since the last call, in order; clears the record.
std::vector<Connect> TakeConnects();

}  // namespace hostile
