#pragma once

// A socket stack that lets nothing leave 127.0.0.0/8, installed for the whole hostile suite before
// the first network component exists. Every connect asked for is recorded; one to any other
// address is refused. Look-ups answer only for a few names of the suite's own.
// Clients connecting from 127.0.0.2 are reported as a host on the LAN, and the LAN address
// kLanOrigin is reached on 127.0.0.1, so the rules for remote clients are exercised on loopback.

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

// While a HangingResolver lives, look-ups of kHangingName block as a resolver that never answers
// does; when it goes they end, the name unknown.
inline constexpr const char* kHangingName = "hang.test";
class HangingResolver {
 public:
  HangingResolver();
  ~HangingResolver();
  HangingResolver(const HangingResolver&) = delete;
  HangingResolver& operator=(const HangingResolver&) = delete;
  // Look-ups blocked right now.
  static int Blocked();
};

// Installs the stack; call before any network component is made.
void InstallGuardStack();
// Connects asked for since the last call, in order; clears the record.
std::vector<Connect> TakeConnects();

}  // namespace hostile
