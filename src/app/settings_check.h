// The settings check as the administrator asks for it: all of it, the provider's SMTP server,
// one POP3 account, or the local side; the same from the Linux command line and from the
// Windows menu.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/check_report.h"
#include "app/local_side_check.h"
#include "app/provider_check.h"
#include "config/configuration.h"
#include "dialup/remote_access.h"
#include "oauth/access_tokens.h"

namespace quelma::app {

enum class CheckScope { kAll, kSmtp, kAccount, kLocal };

struct CheckRequest {
  CheckScope scope = CheckScope::kAll;
  std::size_t account = 0;  // with kAccount
};

// "all" (also no words), "smtp", "account N", "local"; nothing for anything else.
std::optional<CheckRequest> ParseCheckRequest(const std::vector<std::string>& words);

struct SettingsCheckContext {
  ProviderCheckContext provider;
  LocalCheckContext local;
};

// The system's own: access tokens from `tokens`, the dial-up entries of `remoteAccess`, the
// free disk space, the instance lock and the clock of this machine; the hints name each mend
// as the front end's `mend` says (CommandLineMend, WindowsMend).
SettingsCheckContext SystemCheckContext(const std::string& programDir, oauth::AccessTokens& tokens,
                                        dialup::RemoteAccess& remoteAccess, MendWords mend);

// An account number beyond the configuration's accounts gives a report with one failed step.
// `checked` is told of each target as soon as it is done (a provider may take its time-out).
CheckReport RunSettingsCheck(const config::Configuration& config, const CheckRequest& request,
                             const SettingsCheckContext& context,
                             const std::function<void(const CheckTarget&)>& checked = {});

}  // namespace quelma::app
