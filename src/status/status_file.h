// "quelma.status" in the program directory: the running program's figures, replaced whole after
// every session, read by "quelma status" without talking to the program.
#pragma once

#include <optional>
#include <string>

#include "status/program_status.h"

namespace quelma::status {

std::string StatusFilePath(const std::string& programDir);
bool WriteStatusFile(const std::string& programDir, const ProgramStatus& status);
std::optional<ProgramStatus> ReadStatusFile(const std::string& programDir);

}  // namespace quelma::status
