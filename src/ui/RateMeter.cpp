#include "ui/RateMeter.h"

#include <cstdio>

namespace ui {

double TRateMeter::Read(std::uint64_t total, Clock::time_point now) {
  double rate = 0;
  if (last_ && now > last_->at && total >= last_->total) {
    const std::chrono::duration<double> elapsed = now - last_->at;
    rate = static_cast<double>(total - last_->total) / 1000.0 / elapsed.count();
  }
  last_ = Reading{total, now};
  return rate;
}

std::string TRateMeter::Format(double kilobytesPerSecond) {
  char text[32];
  if (kilobytesPerSecond < 99.95)
    std::snprintf(text, sizeof text, "%.1f KB/s", kilobytesPerSecond);
  else
    std::snprintf(text, sizeof text, "%.0f KB/s", kilobytesPerSecond);
  return text;
}

}  // namespace ui
