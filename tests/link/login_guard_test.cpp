// Failed logins per address: the growing delay, the lock-out at the limit and its end.
#include <gtest/gtest.h>

#include "link/login_guard.h"

namespace quelma::link {
namespace {

using namespace std::chrono_literals;

struct ManualGuard {
  LoginGuard::Clock::time_point now{};
  std::vector<std::chrono::milliseconds> waits;
  LoginGuard guard{[this] { return now; }, [this](std::chrono::milliseconds d) { waits.push_back(d); }};
};

TEST(LoginGuard, DelaysGrowAndTheLimitLocksTheAddressOutForTenMinutes) {
  ManualGuard m;
  std::vector<bool> starts;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(m.guard.mayTry("10.0.0.9"));
    starts.push_back(m.guard.failed("10.0.0.9", 5));
    m.now += 1s;
  }
  EXPECT_EQ(starts, (std::vector<bool>{false, false, false, false, true})) << "one lock-out, at the fifth";
  EXPECT_EQ(m.waits, (std::vector<std::chrono::milliseconds>{250ms, 500ms, 1000ms, 2000ms, 2000ms}));
  EXPECT_FALSE(m.guard.mayTry("10.0.0.9"));
  EXPECT_TRUE(m.guard.mayTry("10.0.0.10")) << "another address is not touched";
  m.now += 9min;
  EXPECT_FALSE(m.guard.mayTry("10.0.0.9"));
  m.now += 1min;
  EXPECT_TRUE(m.guard.mayTry("10.0.0.9"));
  EXPECT_FALSE(m.guard.failed("10.0.0.9", 5)) << "counting started afresh";
}

TEST(LoginGuard, FailuresOlderThanTheWindowAreForgottenAndZeroNeverLocks) {
  ManualGuard m;
  for (int i = 0; i < 4; ++i) m.guard.failed("a", 5);
  m.now += 11min;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(m.guard.failed("a", 5));
  EXPECT_TRUE(m.guard.mayTry("a"));
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(m.guard.failed("b", 0));
  EXPECT_TRUE(m.guard.mayTry("b"));
}

}  // namespace
}  // namespace quelma::link
