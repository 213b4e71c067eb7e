// The Linux program's commands for provider logins: "oauth login account N|smtp" makes the
// first OAuth authorisation of a login on the terminal, "oauth set PLATFORM FIELD [VALUE]" sets
// a platform's client id, endpoint or scopes, "preset account N|smtp PROVIDER" fills an account
// or the SMTP settings from a provider preset.
#pragma once

#include <string>
#include <vector>

namespace quelma::app {

// Exit codes: 0 done, 1 failed (the reason on stderr), 2 wrong words.
int OauthCommand(const std::string& programDir, const std::vector<std::string>& words);
int PresetCommand(const std::string& programDir, const std::vector<std::string>& words);

}  // namespace quelma::app
