#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the relay's pacing predicts for one answer, to hold the measured times against.
namespace bench {

// Seconds from an answer's first byte to the proxy's close when the origin has it all ready. The
// answer goes out in one-second periods of limit x 1000 bytes, the first at once; a period whose
// allowance is used up ends with a pause, and a short last one with the origin's close, so this
// is floor(bytes / (limit x 1000)). (A run that has seen the close before the end of a full last
// period ends without its pause, a period sooner.) Limits of 0 and below never finish; they
// give 0.
double PacedSeconds(std::int64_t answerBytes, std::int32_t limit);

// "32768x6 8294": equal neighbours written once with their count.
std::string DescribeSizes(const std::vector<std::int64_t>& sizes);

}  // namespace bench
