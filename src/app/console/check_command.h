// "quelma --dir DIR check [all|smtp|account N|local]": the settings check on the terminal, in
// UTF-8, a line per step. Exit code 0 when no step failed (warnings allowed), 1 when one did,
// 2 for words it does not know.
#pragma once

#include <string>
#include <vector>

namespace quelma::app {

int CheckCommand(const std::string& programDir, const std::vector<std::string>& words);

}  // namespace quelma::app
