// The millisecond tick counter and the local time, behind an interface tests can replace.
#pragma once

#include <cstdint>

namespace quelma::platform {

struct LocalTime {
  int year = 0;
  int month = 0;      // 1 = January
  int dayOfWeek = 0;  // 0 = Sunday, as Windows counts
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since some start, in 32 bits: it wraps after about 49.7 days.
  virtual std::uint32_t tickCount() = 0;
  virtual LocalTime localTime() = 0;
};

// The real clock of the machine (GetTickCount/GetLocalTime, or CLOCK_MONOTONIC/localtime_r).
Clock& SystemClock();

// The local date as a count of days since 1 January 1970: what "keep mail N days" counts in.
inline std::int32_t DaysSinceEpoch(const LocalTime& t) {
  // Days from the civil date (the proleptic Gregorian calendar), after H. Hinnant's algorithm.
  const int y = t.year - (t.month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// True when tick `a` lies after tick `b`, across a wrap of the counter.
inline bool TickAfter(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) > 0;
}

}  // namespace quelma::platform
