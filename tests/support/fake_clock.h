// A clock that tests set by hand.
#pragma once

#include <atomic>

#include "platform/clock.h"

namespace quelma::testing {

class FakeClock final : public platform::Clock {
 public:
  std::atomic<std::uint32_t> tick{0};
  platform::LocalTime time{2001, 12, 3, 5, 14, 3, 7, 0};
  std::uint32_t tickCount() override { return tick; }
  platform::LocalTime localTime() override { return time; }
};

}  // namespace quelma::testing
