// The first OAuth 2.0 login that the "Вход OAuth..." button of the account and SMTP login
// dialogs makes, with the settings as they are on screen: the identity platform and its flow,
// the token endpoint, the key the refresh token is stored under, and the message boxes of the
// outcome. The window runs the flow on a worker thread and shows the code or waits for the
// browser meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config/configuration.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/prompt.h"
#include "oauth/access_tokens.h"
#include "oauth/first_login.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_store.h"

namespace quelma::dialogs {

class OauthFirstLogin {
 public:
  // The login of an account, or of the provider's SMTP server, with the fields on screen and
  // the rest of `config`; the refresh token goes to the token store in `programDir`.
  static OauthFirstLogin ForAccount(const config::Configuration& config, const std::string& programDir,
                                    const AccountFields& fields, oauth::HttpsPoster poster = net::HttpsPost);
  static OauthFirstLogin ForSmtp(const config::Configuration& config, const std::string& programDir,
                                 const SmtpServerFields& server, const SmtpLoginFields& login,
                                 oauth::HttpsPoster poster = net::HttpsPost);

  // Why the login cannot start (nothing is asked of any server then), for a message box.
  const std::optional<Message>& problem() const { return problem_; }
  oauth::FirstLogin flow() const { return endpoint_ ? endpoint_->platform().firstLogin : oauth::FirstLogin::kDevice; }

  // The flow of the platform: the device flow shows its code through `show`, the loopback
  // flow hands the browser's URL to `open` and waits for it at most kBrowserWaitMs. `pause`
  // returns false once the user gave up. Only when problem() is empty.
  oauth::FirstLoginResult run(const std::function<void(const oauth::DeviceLoginPrompt&)>& show,
                              const std::function<void(const std::string& url)>& open, const oauth::Pause& pause);

  static constexpr std::uint32_t kBrowserWaitMs = 5 * 60 * 1000;
  static constexpr std::uint32_t kEndpointTimeoutMs = 30000;

 private:
  explicit OauthFirstLogin(const std::string& programDir);
  // The platform of `login` and its endpoint, or the problem that stops it.
  void prepare(const config::Configuration& config, const oauth::OauthLogin& login, const std::string& server,
               oauth::HttpsPoster poster);

  std::optional<Message> problem_;
  std::optional<oauth::TokenEndpoint> endpoint_;
  oauth::TokenStore store_;
  std::string key_;
};

// The message box after the flow ended; nothing after the user's own Cancel.
std::optional<Message> OauthLoginOutcome(const oauth::FirstLoginResult& result);

}  // namespace quelma::dialogs
