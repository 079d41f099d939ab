#include "PacingModel.h"

#include <chrono>

#include "proxy/Limits.h"

namespace bench {

double PacedSeconds(std::int64_t answerBytes, std::int32_t limit) {
  const std::int64_t slice = proxy::SliceSize(limit);
  if (slice <= 0) return 0;
  return static_cast<double>(answerBytes / slice) *
         std::chrono::duration<double>(proxy::kPacingPeriod).count();
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
