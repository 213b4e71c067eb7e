// The weekly timetable: which minutes of a day start a session, and only once each.
#include <gtest/gtest.h>

#include <vector>

#include "dialup/scheduler.h"
#include "support/fake_clock.h"

namespace quelma::dialup {
namespace {

using Timetable = std::array<config::ScheduleRecord, config::limits::kScheduleDays>;

// Every minute of Monday on which a session starts, ticking every 2 s as the main window does.
std::vector<std::string> SessionsOfTheDay(const config::ScheduleRecord& monday) {
  Timetable table{};
  table[0] = monday;
  ScheduleMinute last = kNoTrigger;
  std::vector<std::string> sessions;
  for (std::uint32_t minute = 0; minute < 24 * 60; ++minute) {
    for (int tick = 0; tick < 30; ++tick) {
      const ScheduleMinute now{minute / 60, minute % 60, 0};
      if (!IsSessionDue(table, last, now)) continue;
      last = now;
      char text[6];
      std::snprintf(text, sizeof text, "%02u:%02u", now.hour, now.minute);
      sessions.push_back(text);
    }
  }
  return sessions;
}

TEST(Scheduler, SessionsOfADay) {
  const struct {
    config::ScheduleRecord record;
    std::vector<std::string> sessions;
  } cases[] = {
      {{8, 0, 18, 0, 120}, {"08:00", "10:00", "12:00", "14:00", "16:00", "18:00"}},
      {{9, 30, 9, 30, 0}, {"09:30"}},
      {{0, 0, 0, 0, 0}, {}},
      {{0, 0, 0, 0, 15}, {"00:00"}},
      {{22, 0, 6, 0, 30}, {}},  // a window never reaches past midnight
      {{8, 0, 9, 0, 25}, {"08:00", "08:25", "08:50"}},
      {{23, 50, 23, 59, 4}, {"23:50", "23:54", "23:58"}},
      {{8, 0, 9, 0, -1}, {"08:00"}},  // a negative period is a huge unsigned one
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SessionsOfTheDay(c.record), c.sessions) << c.record.startHour << ":" << c.record.startMinute;
  }
}

TEST(Scheduler, TheLastTriggerSuppressesOnlyItsOwnMinuteAndDay) {
  Timetable table{};
  table[0] = {10, 0, 10, 0, 0};
  table[1] = {10, 0, 10, 0, 0};
  const ScheduleMinute mondayTen{10, 0, 0};
  EXPECT_FALSE(IsSessionDue(table, mondayTen, mondayTen)) << "daemon mail started it already";
  EXPECT_TRUE(IsSessionDue(table, mondayTen, {10, 0, 1})) << "the same minute on Tuesday is a new one";
  EXPECT_FALSE(IsSessionDue(table, kNoTrigger, {10, 0, 2}));
}

TEST(Scheduler, TheClockCountsWeekdaysFromMonday) {
  quelma::testing::FakeClock clock;
  for (int sundayFirst = 0; sundayFirst < 7; ++sundayFirst) {
    clock.time.dayOfWeek = sundayFirst;
    clock.time.hour = 13;
    clock.time.minute = 7;
    EXPECT_EQ(GetClockForSchedule(clock), (ScheduleMinute{13, 7, sundayFirst == 0 ? 6u : sundayFirst - 1u}));
  }
}

// The next session as the status shows it: across the day's end and the week's, never the
// minute the clock shows, nothing for an empty timetable.
TEST(Scheduler, MinutesToTheNextSession) {
  Timetable weekdays{};
  for (int day = 0; day < 5; ++day) weekdays[day] = {8, 0, 18, 0, 120};
  const struct {
    ScheduleMinute now;
    std::optional<std::uint32_t> minutes;
  } cases[] = {
      {{7, 59, 0}, 1},
      {{8, 0, 0}, 120},                        // the session of this minute is under way
      {{17, 30, 2}, 30},
      {{18, 0, 2}, 14 * 60},                   // tomorrow at 8
      {{18, 0, 4}, 14 * 60 + 2 * 24 * 60},     // Friday evening: Monday at 8
      {{9, 0, 6}, 23 * 60},                    // Sunday: across the week's end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MinutesToNextSession(weekdays, c.now), c.minutes) << c.now.weekday << " " << c.now.hour << ":" << c.now.minute;
  }
  EXPECT_EQ(MinutesToNextSession(Timetable{}, {8, 0, 0}), std::nullopt);
}

}  // namespace
}  // namespace quelma::dialup
