#include "PacingModel.h"

#include <algorithm>

#include "proxy/MessageRewriting.h"
#include "proxy/PacedRelay.h"

namespace bench {

std::int64_t ReadCap(std::int32_t limit) {
  return std::max(proxy::SliceSize(limit), std::int64_t{32768});
}

PacedTransfer ChunkAwareModel(std::int64_t answerBytes, std::int32_t limit) {
  PacedTransfer transfer;
  const std::int64_t slice = proxy::SliceSize(limit);
  if (slice <= 0) return transfer;
  const std::int64_t cap = ReadCap(limit);
  for (std::int64_t left = answerBytes; left > 0;) {
    std::int64_t chunk = std::min(left, cap);
    ++transfer.Chunks;
    transfer.Slices += (chunk + slice - 1) / slice;
    left -= chunk;
  }
  transfer.Seconds =
      static_cast<double>(transfer.Slices) * proxy::PacedRelay::kPeriodMs / 1000.0;
  return transfer;
}

double SimpleModelSeconds(std::int64_t answerBytes, std::int32_t limit) {
  const std::int64_t slice = proxy::SliceSize(limit);
  if (slice <= 0) return 0;
  return static_cast<double>(answerBytes) / static_cast<double>(slice) *
         proxy::PacedRelay::kPeriodMs / 1000.0;
}

std::vector<std::int64_t> ChunksFromSlices(const std::vector<std::int64_t>& slices,
                                           std::int32_t limit) {
  const std::int64_t slice = proxy::SliceSize(limit);
  const std::int64_t cap = ReadCap(limit);
  std::vector<std::int64_t> chunks;
  bool open = false;
  for (std::int64_t size : slices) {
    if (open && chunks.back() + size > cap) open = false;
    if (!open) chunks.push_back(0);
    chunks.back() += size;
    open = size >= slice;
  }
  return chunks;
}

std::string DescribeSizes(const std::vector<std::int64_t>& sizes) {
  std::string text;
  for (std::size_t i = 0; i < sizes.size();) {
    std::size_t same = i;
    while (same < sizes.size() && sizes[same] == sizes[i])
      ++same;
    if (!text.empty()) text += ' ';
    text += std::to_string(sizes[i]);
    if (same - i > 1) text += 'x' + std::to_string(same - i);
    i = same;
  }
  return text;
}

}  // namespace bench
