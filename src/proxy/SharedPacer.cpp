#include "proxy/SharedPacer.h"

#include <algorithm>
#include <utility>

namespace proxy {

SharedPacer::SharedPacer(const std::atomic<std::int32_t>& limit, NowFunction now)
    : limit_(limit), now_(std::move(now)), epoch_(now_()) {}

SharedPacer::Seat::Seat(SharedPacer& line) : line_(line) {
  rtl::TMutexGuard lock(line_.mutex_);
  line_.seats_.push_back(this);
}

SharedPacer::Seat::~Seat() {
  rtl::TMutexGuard lock(line_.mutex_);
  std::erase(line_.seats_, this);
}

std::int64_t SharedPacer::Seat::Room(std::int64_t wanted) {
  if (wanted <= 0) return 0;
  const std::int64_t tick = line_.TickAt(line_.now_());
  rtl::TMutexGuard lock(line_.mutex_);
  if (tick > line_.tick_) line_.Share(tick);
  std::int64_t room = std::min(granted_, wanted);
  granted_ -= room;
  const std::int64_t spare = std::min(line_.spare_, wanted - room);
  line_.spare_ -= spare;
  room += spare;
  had_ += room;
  // Whatever this tenth could not give is asked of the next; a seat that does not come back for
  // its share before then stays in line with the same want.
  wanted_ = wanted - room;
  return room;
}

SharedPacer::Clock::time_point SharedPacer::NextTick() const {
  return epoch_ + (TickAt(now_()) + 1) * kTick;
}

std::size_t SharedPacer::Seats() const {
  rtl::TMutexGuard lock(mutex_);
  return seats_.size();
}

std::int64_t SharedPacer::TickAt(Clock::time_point at) const {
  return (at - epoch_) / kTick;
}

void SharedPacer::Share(std::int64_t tick) {
  tick_ = tick;
  const std::int32_t limit = limit_.load();
  std::int64_t room = limit > 0 ? SliceSize(limit) / kTicksPerPeriod : 0;
  std::vector<Seat*> waiting;
  for (Seat* seat : seats_) {
    seat->granted_ = 0;
    if (seat->wanted_ > 0) waiting.push_back(seat);
  }
  // Water-filling: the seats that want least are served first, each to an equal share of what is
  // left, so what one leaves goes to those that want more.
  std::sort(waiting.begin(), waiting.end(),
            [](const Seat* a, const Seat* b) { return a->wanted_ < b->wanted_; });
  std::size_t index = 0;
  for (; index < waiting.size(); ++index) {
    const auto others = static_cast<std::int64_t>(waiting.size() - index);
    if (waiting[index]->wanted_ > room / others) break;
    waiting[index]->granted_ = waiting[index]->wanted_;
    room -= waiting[index]->wanted_;
  }
  // The rest want more than an equal share and split what is left; the odd bytes go to those that
  // have had least so far, which evens out seats that want alike.
  if (const auto rest = static_cast<std::int64_t>(waiting.size() - index); rest > 0) {
    std::sort(waiting.begin() + static_cast<std::ptrdiff_t>(index), waiting.end(),
              [](const Seat* a, const Seat* b) { return a->had_ > b->had_; });
    const std::int64_t share = room / rest;
    const std::int64_t odd = room % rest;
    for (std::int64_t i = 0; i < rest; ++i)
      waiting[index + static_cast<std::size_t>(i)]->granted_ = share + (i >= rest - odd ? 1 : 0);
    room = 0;
  }
  spare_ = room;
}

}  // namespace proxy
