// The process-wide unique tick generator.
#include "platform/unique_tick.h"

namespace quelma::platform {

std::uint32_t UniqueTickGenerator::next() {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::uint32_t now = clock_.tickCount();
  // Compared across the wrap, so the counter passing 0xFFFFFFFF does not freeze the names.
  last_ = (!started_ || TickAfter(now, last_)) ? now : last_ + 1;
  started_ = true;
  if (reserve_ && !TickAfter(reservedUpTo_, last_)) {
    reservedUpTo_ = last_ + kReservedAhead;
    reserve_(reservedUpTo_);
  }
  return last_;
}

void UniqueTickGenerator::persistWith(std::optional<std::uint32_t> floor,
                                      std::function<bool(std::uint32_t bound)> reserve) {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::uint32_t now = clock_.tickCount();
  if (floor && TickAfter(*floor, now) && (!started_ || TickAfter(*floor, last_ + 1))) {
    last_ = *floor - 1;
    started_ = true;
  }
  reserve_ = std::move(reserve);
  reservedUpTo_ = started_ ? last_ + 1 : now;  // the first value handed out reserves
}

UniqueTickGenerator& ProcessUniqueTicks() {
  static UniqueTickGenerator generator(SystemClock());
  return generator;
}

}  // namespace quelma::platform
