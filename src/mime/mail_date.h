// Dates of the mail header (RFC 5322) and the calendar beneath them, in UTC.
#pragma once

#include <cstdint>
#include <string>

namespace quelma::mime {

struct CivilTime {
  std::int64_t year = 1970;
  int month = 1;      // 1 = January
  int day = 1;
  int dayOfWeek = 4;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The UTC calendar time of a count of seconds since 1 January 1970 (the proleptic Gregorian
// calendar, after H. Hinnant's algorithm).
CivilTime CivilFromUnix(std::int64_t seconds);

// "Wed, 09 Dec 2026 12:49:02 +0000".
std::string FormatMailDate(std::int64_t seconds);

// Three-letter English names, as the header and IMAP write them.
const char* MonthName(int month);

}  // namespace quelma::mime
