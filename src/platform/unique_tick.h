// Tick values that never repeat within the process: the source of every unique name.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/clock.h"

namespace quelma::platform {

class UniqueTickGenerator {
 public:
  explicit UniqueTickGenerator(Clock& clock) : clock_(clock) {}
  // The clock's tick, or the last value + 1 when the clock has not moved past it.
  std::uint32_t next();

  // Across restarts: values from `floor` on only (a program before this one may have handed
  // out those below, running ahead of the clock in a burst), and `reserve(bound)` records a
  // bound before any value at or beyond the last recorded one is handed out.
  void persistWith(std::optional<std::uint32_t> floor, std::function<bool(std::uint32_t bound)> reserve);

  static constexpr std::uint32_t kReservedAhead = 1u << 16;  // about a minute of ticks

 private:
  Clock& clock_;
  std::mutex mutex_;
  bool started_ = false;
  std::uint32_t last_ = 0;
  std::function<bool(std::uint32_t)> reserve_;
  std::uint32_t reservedUpTo_ = 0;
};

// The one generator of the process, on the system clock.
UniqueTickGenerator& ProcessUniqueTicks();

}  // namespace quelma::platform
