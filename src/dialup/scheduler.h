// The weekly timetable: whether a session is due in a given minute of a weekday.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "config/configuration.h"
#include "platform/clock.h"

namespace quelma::dialup {

struct ScheduleMinute {
  std::uint32_t hour = 0;
  std::uint32_t minute = 0;
  std::uint32_t weekday = 0;  // 0 = Monday ... 6 = Sunday
  bool operator==(const ScheduleMinute&) const = default;
};

// The minute of the last session the timer started; hour 25 suppresses nothing.
inline constexpr ScheduleMinute kNoTrigger{25, 0, 0};

// The current hour, minute and weekday, Monday first.
ScheduleMinute GetClockForSchedule(platform::Clock& clock);

// Sessions fall at start, start + period, ... up to end, once each minute; a minute equal to
// `lastTrigger` has had its session already.
bool IsSessionDue(const std::array<config::ScheduleRecord, config::limits::kScheduleDays>& timetable,
                  const ScheduleMinute& lastTrigger, const ScheduleMinute& now);

// Minutes from `now` to the next minute with a session, `now` itself not counted, within a
// week; nothing when the timetable has none.
std::optional<std::uint32_t> MinutesToNextSession(
    const std::array<config::ScheduleRecord, config::limits::kScheduleDays>& timetable, const ScheduleMinute& now);

}  // namespace quelma::dialup
