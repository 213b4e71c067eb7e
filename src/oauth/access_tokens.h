// The access tokens of this process: each fetched with the login's stored refresh token shortly
// before a session needs it, kept while it is valid, fetched again when the server refused it.
// A refresh token the platform rotates is stored at once. Tokens never reach the log.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/configuration.h"
#include "net/access_token_source.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_store.h"

namespace quelma::oauth {

// Who a token is for: one provider account, or the provider's SMTP server.
struct OauthLogin {
  std::string key;           // in the token store
  std::string platformName;  // whose identity platform issues its tokens; empty: unknown
  std::string description;   // for the log: "счета 0 (pop.example.com, me@example.com)"
  std::string loginCommand;  // the command-line words that log it in: "oauth login account 0"
  MailAccess access = MailAccess::kPop3;
};

OauthLogin AccountLogin(const config::Configuration& config, std::size_t index);
OauthLogin SmtpLogin(const config::Configuration& config);

// Seconds from any fixed point, never going back.
using SecondsClock = std::function<std::int64_t()>;
std::int64_t SteadySeconds();

class AccessTokens {
 public:
  using Log = std::function<void(const std::string&)>;

  explicit AccessTokens(std::string programDir, HttpsPoster poster = net::HttpsPost, SecondsClock now = SteadySeconds);

  // The token source one client run uses for `login`, with the settings of its snapshot; what
  // goes wrong is told through `log`.
  std::unique_ptr<net::AccessTokenSource> sourceFor(const config::Configuration& config, const OauthLogin& login, Log log);

  // A token this close to its end is not used for a new session (a short-lived one: half its life).
  static constexpr std::int64_t kMarginSeconds = 300;

 private:
  friend class LoginTokenSource;
  struct Cached {
    std::string token;
    std::int64_t expiresAt = 0;
    std::int64_t margin = kMarginSeconds;  // not used for a new session this close to its end
  };
  std::optional<std::string> cached(const std::string& key);
  void keep(const std::string& key, std::string token, std::int64_t expiresIn);
  void forget(const std::string& key);

  std::string programDir_;
  TokenStore store_;
  HttpsPoster poster_;
  SecondsClock now_;
  std::mutex mutex_;
  std::map<std::string, Cached> cache_;
};

}  // namespace quelma::oauth
