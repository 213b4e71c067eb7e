// The settings check of the provider connections: the SMTP server and each account, step
// by step as the clients' own sessions connect (the same connect, TLS settings, login method
// and access tokens), stopping right after the login: no mail is fetched, deleted or sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/check_mends.h"
#include "app/check_report.h"
#include "config/configuration.h"
#include "net/access_token_source.h"
#include "oauth/access_tokens.h"

namespace quelma::app {

struct ProviderCheckContext {
  std::string programDir;
  std::uint32_t timeoutMs = config::defaults::kProviderTimeoutMs;  // the sessions' own time-out
  // The access tokens of an OAuth login, as a session gets them; what goes wrong is told
  // through the function given.
  std::function<std::unique_ptr<net::AccessTokenSource>(const config::Configuration&, const oauth::OauthLogin&,
                                                        const std::function<void(const std::string&)>&)>
      tokens;
  // Seconds since 1970 (UTC), for the certificates' expiry.
  std::function<std::int64_t()> now;
  // How the front end names the way to change a setting in a hint (the command line's when empty).
  MendWords mend;
};

CheckTarget CheckSmtpProvider(const config::Configuration& config, const ProviderCheckContext& context);
CheckTarget CheckPop3Account(const config::Configuration& config, std::size_t index,
                             const ProviderCheckContext& context);
// An IMAP account also has each folder examined (read-only) and IDLE looked for.
CheckTarget CheckImapAccount(const config::Configuration& config, std::size_t index,
                             const ProviderCheckContext& context);
// Account `index` by its protocol.
CheckTarget CheckAccount(const config::Configuration& config, std::size_t index, const ProviderCheckContext& context);

}  // namespace quelma::app
