#pragma once

namespace test {

// Moves the calling process into a network namespace of its own with only loopback up, as
// `unshare -rn` followed by `ip link set lo up` would: port 1080 and every other port are then
// ours alone. Call it before any thread starts. False when the namespace could not be made.
bool EnterPrivateNetwork();

}  // namespace test
