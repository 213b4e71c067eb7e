// The process-wide unique tick generator.
#include "platform/unique_tick.h"

namespace quelma::platform {

std::uint32_t UniqueTickGenerator::next() {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::uint32_t now = clock_.tickCount();
  // Compared across the wrap, so the counter passing 0xFFFFFFFF does not freeze the names.
  last_ = (!started_ || TickAfter(now, last_)) ? now : last_ + 1;
  started_ = true;
  return last_;
}

UniqueTickGenerator& ProcessUniqueTicks() {
  static UniqueTickGenerator generator(SystemClock());
  return generator;
}

}  // namespace quelma::platform
