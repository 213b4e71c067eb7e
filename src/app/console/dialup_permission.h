// Dial-up starts pppd, which is set-user-ID root: a service that may not gain privileges
// (systemd's NoNewPrivileges) cannot dial, and the log says so before a session fails on it.
#pragma once

#include <optional>
#include <string>

#include "config/configuration.h"

namespace quelma::app {

// Whether this process can no longer gain privileges by executing a program.
bool RunsWithoutNewPrivileges();

// The log line for settings that dial while pppd cannot get its privileges; nothing otherwise.
std::optional<std::string> DialUpBlockedText(const config::Configuration& config, bool withoutNewPrivileges);

}  // namespace quelma::app
