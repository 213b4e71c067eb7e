// The status as a reader puts it together: what the running program last wrote, its accounts
// in the settings' order, the OAuth logins it has not tried yet from the token store, and the
// spool's figures read now.
#pragma once

#include <optional>
#include <string>

#include "config/configuration.h"
#include "status/program_status.h"

namespace quelma::status {

// `written`: the status file, when there is one; `running`: whether a program holds the
// directory now.
ProgramStatus GatherStatus(const std::string& programDir, const config::Configuration& config,
                           const std::optional<ProgramStatus>& written, bool running);

}  // namespace quelma::status
