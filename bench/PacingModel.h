#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the relay's pacing predicts for one answer, to hold the measured rates against.
namespace bench {

// Bytes one relay pass takes from the origin server at this limit: one default receive below
// limit 33, one slice above.
std::int64_t ReadCap(std::int32_t limit);

struct PacedTransfer {
  std::int64_t Chunks = 0;  // relay passes that found data
  std::int64_t Slices = 0;  // writes, each followed by the full pause
  double Seconds = 0;       // Slices x the pause
};

// The answer taken in chunks of ReadCap (the origin server always has more waiting) and each chunk
// sent in slices of limit x 1000 bytes, the last and shortest one of every chunk included. Limits
// of 0 and below never finish; they give no chunks and no slices.
PacedTransfer ChunkAwareModel(std::int64_t answerBytes, std::int32_t limit);

// Slices counted from the slice start alone: a limit x 1000 bytes per second, with no rounding.
double SimpleModelSeconds(std::int64_t answerBytes, std::int32_t limit);

// Regroups the slices a client saw (one burst of bytes per pause) into the chunks the relay read:
// a slice shorter than limit x 1000 ends its chunk, and so does one that would take the chunk
// past ReadCap.
std::vector<std::int64_t> ChunksFromSlices(const std::vector<std::int64_t>& slices,
                                           std::int32_t limit);

// "32768x6 8294": equal neighbours written once with their count.
std::string DescribeSizes(const std::vector<std::int64_t>& sizes);

}  // namespace bench
