#pragma once

#include <cstdint>

namespace test {

// Resident memory of this process in kB, now and at its peak since the start or the last
// ResetPeakResident, from /proc/self/status; 0 when it cannot be read.
std::int64_t ResidentKb();
std::int64_t PeakResidentKb();
// Starts the peak over from the current resident size; false where the kernel does not allow it.
bool ResetPeakResident();

}  // namespace test
