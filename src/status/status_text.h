// The status as lines for a person: the terminal's "quelma status" and the Windows window
// Команда > Состояние.
#pragma once

#include <string>

#include "status/program_status.h"

namespace quelma::status {

// Windows-1251 lines ending with "\n"; times in the local time of `toLocal`'s offset.
std::string FormatStatusText(const ProgramStatus& status, std::int64_t utcOffsetSeconds);

}  // namespace quelma::status
