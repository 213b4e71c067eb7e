// The timetable arithmetic, in unsigned numbers as the stored records are compared.
#include "dialup/scheduler.h"

namespace quelma::dialup {

ScheduleMinute GetClockForSchedule(platform::Clock& clock) {
  const platform::LocalTime t = clock.localTime();
  const auto sundayFirst = static_cast<std::uint32_t>(t.dayOfWeek);
  return {static_cast<std::uint32_t>(t.hour), static_cast<std::uint32_t>(t.minute),
          sundayFirst == 0 ? 6u : sundayFirst - 1};
}

bool IsSessionDue(const std::array<config::ScheduleRecord, config::limits::kScheduleDays>& timetable,
                  const ScheduleMinute& lastTrigger, const ScheduleMinute& now) {
  if (now == lastTrigger || now.weekday >= timetable.size()) return false;
  const config::ScheduleRecord& day = timetable[now.weekday];
  const std::uint32_t at = now.hour * 60 + now.minute;
  const std::uint32_t start = static_cast<std::uint32_t>(day.startHour) * 60 + static_cast<std::uint32_t>(day.startMinute);
  const std::uint32_t end = static_cast<std::uint32_t>(day.endHour) * 60 + static_cast<std::uint32_t>(day.endMinute);
  const auto period = static_cast<std::uint32_t>(day.periodMinutes);
  if (start == 0 && end == 0 && period == 0) return false;
  if (end < start) return false;
  if (at == start) return true;
  if (at < start || period == 0) return false;
  // The first session time at or after `at`, without stepping minute by minute.
  const std::uint32_t steps = (at - start + period - 1) / period;
  const std::uint64_t next = start + static_cast<std::uint64_t>(steps) * period;
  return next <= end && next == at;
}

std::optional<std::uint32_t> MinutesToNextSession(
    const std::array<config::ScheduleRecord, config::limits::kScheduleDays>& timetable, const ScheduleMinute& now) {
  constexpr std::uint32_t kWeek = 7 * 24 * 60;
  const std::uint32_t at = now.weekday * 24 * 60 + now.hour * 60 + now.minute;
  for (std::uint32_t ahead = 1; ahead <= kWeek; ++ahead) {
    const std::uint32_t m = (at + ahead) % kWeek;
    if (IsSessionDue(timetable, kNoTrigger, {m % (24 * 60) / 60, m % 60, m / (24 * 60)})) return ahead;
  }
  return std::nullopt;
}

}  // namespace quelma::dialup
