// Tick values that never repeat within the process: the source of every unique name.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace quelma::platform {

class UniqueTickGenerator {
 public:
  explicit UniqueTickGenerator(Clock& clock) : clock_(clock) {}
  // The clock's tick, or the last value + 1 when the clock has not moved past it.
  std::uint32_t next();

 private:
  Clock& clock_;
  std::mutex mutex_;
  bool started_ = false;
  std::uint32_t last_ = 0;
};

// The one generator of the process, on the system clock.
UniqueTickGenerator& ProcessUniqueTicks();

}  // namespace quelma::platform
