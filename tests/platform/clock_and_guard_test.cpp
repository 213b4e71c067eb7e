// Unique ticks on a fake clock, and running guards that only one holder can get.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/exit_gate.h"
#include "platform/running_guard.h"
#include "platform/unique_tick.h"

namespace quelma::platform {
namespace {

class FakeClock final : public Clock {
 public:
  std::uint32_t now = 0;
  std::uint32_t tickCount() override { return now; }
  LocalTime localTime() override { return {}; }
};

TEST(UniqueTick, FollowsTheClockAndNeverRepeats) {
  FakeClock clock;
  UniqueTickGenerator ticks(clock);
  struct Step {
    std::uint32_t clockNow;
    std::uint32_t expected;
  };
  const Step steps[] = {
      {1000, 1000}, {1000, 1001}, {1000, 1002}, {1500, 1500}, {1400, 1501},  // a clock going back
      {0x80000000, 0x80000000}, {0xFFFFFFFE, 0xFFFFFFFE},                     // days later
      {0xFFFFFFFE, 0xFFFFFFFF}, {0xFFFFFFFE, 0},                             // the name wraps too
      {5, 5},                                                                // the clock wrapped
  };
  for (const auto& s : steps) {
    clock.now = s.clockNow;
    EXPECT_EQ(ticks.next(), s.expected) << s.clockNow;
  }
}

// A program that ran ahead of the clock in a burst recorded how far; the next program starts
// beyond that, so no value is handed out twice across a restart.
TEST(UniqueTick, ARestartCarriesOnBeyondWhatTheLastProgramReserved) {
  FakeClock clock;
  clock.now = 1000;
  std::vector<std::uint32_t> reserved;
  std::uint32_t lastOfFirst = 0;
  {
    UniqueTickGenerator first(clock);
    first.persistWith(std::nullopt, [&](std::uint32_t bound) {
      reserved.push_back(bound);
      return true;
    });
    for (int i = 0; i < 5000; ++i) lastOfFirst = first.next();  // a burst: the clock stands still
  }
  ASSERT_FALSE(reserved.empty());
  EXPECT_TRUE(TickAfter(reserved.back(), lastOfFirst)) << "reserved before being handed out";
  UniqueTickGenerator second(clock);  // restarted at once: the clock is still behind
  second.persistWith(reserved.back(), [](std::uint32_t) { return true; });
  EXPECT_TRUE(TickAfter(second.next(), lastOfFirst));
  UniqueTickGenerator fresh(clock);  // a first start: no floor, the clock's own value
  fresh.persistWith(std::nullopt, [](std::uint32_t) { return true; });
  EXPECT_EQ(fresh.next(), 1000u);
}

TEST(UniqueTick, ThreadsNeverShareAValue) {
  UniqueTickGenerator& ticks = ProcessUniqueTicks();
  std::vector<std::uint32_t> seen[4];
  std::vector<std::thread> threads;
  for (auto& out : seen) {
    threads.emplace_back([&out, &ticks] {
      for (int i = 0; i < 2000; ++i) out.push_back(ticks.next());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint32_t> all;
  for (const auto& out : seen) all.insert(out.begin(), out.end());
  EXPECT_EQ(all.size(), 8000u);
}

TEST(RunningGuard, SecondAcquireFailsUntilTheFirstIsReleased) {
  auto first = RunningGuard::TryAcquire("POP3_client_running_test");
  ASSERT_TRUE(first);
  EXPECT_FALSE(RunningGuard::TryAcquire("POP3_client_running_test"));
  EXPECT_TRUE(RunningGuard::TryAcquire("SMTP_client_running_test")) << "names are independent";
  RunningGuard moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(RunningGuard::TryAcquire("POP3_client_running_test")) << "a moved guard still holds";
  { RunningGuard gone = std::move(moved); }
  EXPECT_TRUE(RunningGuard::TryAcquire("POP3_client_running_test"));
}

TEST(RunningGuard, OnlyOneOfManyRacingThreadsWins) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> winners{0};
    std::atomic<bool> go{false};
    std::vector<std::optional<RunningGuard>> held(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < held.size(); ++i) {
      threads.emplace_back([&, i] {
        while (!go) std::this_thread::yield();
        held[i] = RunningGuard::TryAcquire("race_guard_test");
        if (held[i]) ++winners;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
  }
}

}  // namespace
}  // namespace quelma::platform

namespace quelma::platform {
namespace {

TEST(ExitGate, TheEndWaitsForAWriteInProgressAndLetsNoNewOneBegin) {
  auto gate = std::make_shared<ExitGate>();  // kept alive by the writer that waits for good
  std::atomic<bool> holding{false}, release{false};
  auto lateWriteBegan = std::make_shared<std::atomic<bool>>(false);
  std::thread writer([&] {
    const ExitGateHold hold(*gate);
    holding = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int waits = 0;
  EXPECT_FALSE(gate->close(std::chrono::milliseconds(30), [&] { ++waits; }));
  EXPECT_GT(waits, 0) << "the main thread keeps handling its messages while it waits";
  release = true;
  EXPECT_TRUE(gate->close(std::chrono::seconds(10), [] { std::this_thread::yield(); }));
  writer.join();
  std::thread([gate, lateWriteBegan] {
    const ExitGateHold hold(*gate);
    *lateWriteBegan = true;
  }).detach();  // it waits for good, as a writer does when the program ends
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(*lateWriteBegan);
}

}  // namespace
}  // namespace quelma::platform
