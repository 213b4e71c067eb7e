// The settings an administrator's command works on: quelma.cfg as the program reads it, which
// the command never makes when it is missing.
#pragma once

#include <optional>
#include <string>

#include "config/configuration.h"

namespace quelma::app {

// quelma.cfg of `programDir`, or nothing after saying on stderr that it is missing or unreadable.
std::optional<config::Configuration> LoadExistingSettings(const std::string& programDir);

}  // namespace quelma::app
