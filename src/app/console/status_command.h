// "quelma status [--json] [--openmetrics FILE]": the program's state at a glance, read from the
// status file the running program keeps and from the disk, without talking to the program.
// Exit codes: 0 printed (the program may or may not run), 1 the settings cannot be read or the
// metrics file cannot be written, 2 wrong words.
#pragma once

#include <string>
#include <vector>

namespace quelma::app {

int StatusCommand(const std::string& programDir, const std::vector<std::string>& words);

}  // namespace quelma::app
