#include "proxy/Pacing.h"

#include <algorithm>
#include <limits>
#include <utility>

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
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(periodEnd_ - Clock::now());
  pause_(static_cast<std::int32_t>(
      std::clamp<std::chrono::milliseconds>(left, std::chrono::milliseconds(0), kPacingPeriod)
          .count()));
  StartPeriod(periodEnd_);
}

void Pacing::StartPeriod(Clock::time_point start) {
  periodOpen_ = true;
  periodEnd_ = start + kPacingPeriod;
  limit_ = source_.load();
  allowance_ = Unpaced() ? std::numeric_limits<std::int64_t>::max() : SliceSize(limit_);
}

bool Pacing::SendPaced(std::string_view bytes,
                       const std::function<std::int64_t(std::string_view part)>& send) {
  while (!bytes.empty()) {
    const std::int64_t room = Room(std::min<std::int64_t>(
        static_cast<std::int64_t>(bytes.size()), std::numeric_limits<std::int32_t>::max()));
    if (room == 0) {
      AwaitNextPeriod();
      continue;
    }
    const std::int64_t sent = send(bytes.substr(0, static_cast<std::size_t>(room)));
    if (sent <= 0) return false;
    Spend(sent);
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool Pacing::DelayUntil(Deadline until, const std::function<bool()>& giveUp) const {
  // Counted down by the pauses themselves, as the periods are, so a pause that only records
  // holds for as many steps as a real one.
  for (std::chrono::milliseconds left = until.Left(); left.count() > 0;) {
    if (giveUp && giveUp()) return false;
    const std::chrono::milliseconds step = std::min(left, kPacingPeriod);
    pause_(static_cast<std::int32_t>(step.count()));
    left -= step;
  }
  return true;
}

}  // namespace proxy
