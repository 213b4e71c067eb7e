// The status as lines for a person: the terminal's "quelma status" and the Windows window
// Команда > Состояние.
#pragma once

#include <string>

#include "status/program_status.h"

namespace quelma::status {

// Windows-1251 lines ending with "\n"; times in the local time of `toLocal`'s offset.
// "05.12.2026 14:03": a moment (seconds since 1970) in the local time of `utcOffsetSeconds`.
std::string LocalMinuteText(std::int64_t seconds, std::int64_t utcOffsetSeconds);

std::string FormatStatusText(const ProgramStatus& status, std::int64_t utcOffsetSeconds);

}  // namespace quelma::status
