#include "proxy/Pacing.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "proxy/Slices.h"

namespace proxy {

Pacing::Pacing(const std::atomic<std::int32_t>& limit, AtZero atZero, PauseFunction pause)
    : source_(limit), atZero_(atZero), pause_(std::move(pause)) {}

std::int64_t Pacing::Room(std::int64_t wanted) {
  if (!periodOpen_ || Clock::now() >= periodEnd_) StartPeriod(Clock::now());
  return std::min(wanted, std::max<std::int64_t>(Left(), 0));
}

std::int64_t Pacing::Left() const {
  return Unpaced() ? std::numeric_limits<std::int64_t>::max() : allowance_;
}

void Pacing::Spend(std::int64_t bytes) {
  allowance_ -= bytes;
}

bool Pacing::Spent() const {
  return periodOpen_ && !Unpaced() && allowance_ <= 0 && Clock::now() < periodEnd_;
}

void Pacing::AwaitNextPeriod() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(periodEnd_ - Clock::now()).count();
  pause_(static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 0, kPeriodMs)));
  StartPeriod(periodEnd_);
}

void Pacing::StartPeriod(Clock::time_point start) {
  periodOpen_ = true;
  periodEnd_ = start + std::chrono::milliseconds(kPeriodMs);
  limit_ = source_.load();
  allowance_ = Unpaced() ? std::numeric_limits<std::int64_t>::max() : SliceSize(limit_);
}

bool HoldUntil(Pacing::Clock::time_point until, const Pacing::PauseFunction& pause,
               const std::function<bool()>& giveUp) {
  // Counted down by the pauses themselves, as the periods are, so a pause that only records
  // holds for as many steps as a real one.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Pacing::Clock::now()).count();
  while (left > 0) {
    if (giveUp && giveUp()) return false;
    const std::int64_t step = std::min<std::int64_t>(left, Pacing::kPeriodMs);
    pause(static_cast<std::int32_t>(step));
    left -= step;
  }
  return true;
}

}  // namespace proxy
