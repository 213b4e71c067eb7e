// Failed logins per address: the growing delay, the lock-out at the limit and its end, and
// attempts made at the same moment.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serving/login_guard.h"

namespace quelma::serving {
namespace {

using namespace std::chrono_literals;

struct ManualGuard {
  LoginGuard::Clock::time_point now{};
  std::vector<std::chrono::milliseconds> waits;
  LoginGuard guard{[this] { return now; }, [this](std::chrono::milliseconds d) { waits.push_back(d); }, 0ms};
  bool fail(const std::string& address, int limit) {
    auto attempt = guard.begin(address, limit);
    return attempt && attempt->failed();
  }
  bool mayTry(const std::string& address, int limit) { return guard.begin(address, limit).has_value(); }
};

TEST(LoginGuard, DelaysGrowAndTheLimitLocksTheAddressOutForTenMinutes) {
  ManualGuard m;
  std::vector<bool> starts;
  for (int i = 0; i < 5; ++i) {
    starts.push_back(m.fail("10.0.0.9", 5));
    m.now += 1s;
  }
  EXPECT_EQ(starts, (std::vector<bool>{false, false, false, false, true})) << "one lock-out, at the fifth";
  EXPECT_EQ(m.waits, (std::vector<std::chrono::milliseconds>{250ms, 500ms, 1000ms, 2000ms, 2000ms}));
  EXPECT_FALSE(m.mayTry("10.0.0.9", 5));
  EXPECT_TRUE(m.mayTry("10.0.0.10", 5)) << "another address is not touched";
  m.now += 9min;
  EXPECT_FALSE(m.mayTry("10.0.0.9", 5));
  m.now += 1min;
  EXPECT_TRUE(m.mayTry("10.0.0.9", 5));
  EXPECT_FALSE(m.fail("10.0.0.9", 5)) << "counting started afresh";
}

TEST(LoginGuard, FailuresOlderThanTheWindowAreForgottenAndZeroNeverLocks) {
  ManualGuard m;
  for (int i = 0; i < 4; ++i) m.fail("a", 5);
  m.now += 11min;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(m.fail("a", 5));
  EXPECT_TRUE(m.mayTry("a", 5));
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(m.fail("b", 0));
  EXPECT_TRUE(m.mayTry("b", 0));
}

// Attempts begun together count before their outcome: never more checks than the limit, and
// those that succeed give their place back.
TEST(LoginGuard, AttemptsAtTheSameMomentNeverExceedTheLimit) {
  ManualGuard m;
  std::vector<LoginGuard::Attempt> open;
  for (int i = 0; i < 10; ++i) {
    if (auto a = m.guard.begin("c", 3)) open.push_back(std::move(*a));
  }
  EXPECT_EQ(open.size(), 3u);
  open.pop_back();  // a success: its place is free again
  EXPECT_TRUE(m.mayTry("c", 3));
  int lockOuts = 0;
  for (auto& a : open) lockOuts += a.failed() ? 1 : 0;
  EXPECT_EQ(lockOuts, 0) << "two failures of three";
  EXPECT_TRUE(m.fail("c", 3)) << "the third locks out";
  EXPECT_FALSE(m.mayTry("c", 3));
}

// Fifty wrong passwords from one address at once, on threads of their own: exactly the limit of
// them is checked, the rest refused, one lock-out.
TEST(LoginGuard, FiftyAtOnceFromOneAddress) {
  LoginGuard guard([] { return LoginGuard::Clock::now(); }, [](std::chrono::milliseconds) {});
  std::atomic<int> checked{0}, refused{0}, lockOuts{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 50; ++i) {
    threads.emplace_back([&] {
      auto attempt = guard.begin("192.0.2.4", 3);
      if (!attempt) {
        ++refused;
        return;
      }
      ++checked;
      if (attempt->failed()) ++lockOuts;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(checked, 3);
  EXPECT_EQ(refused, 47);
  EXPECT_EQ(lockOuts, 1);
}

}  // namespace
}  // namespace quelma::serving
