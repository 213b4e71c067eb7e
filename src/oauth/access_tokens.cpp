// Access tokens from refresh tokens, with the log lines that tell the administrator what to do.
#include "oauth/access_tokens.h"

#include <algorithm>
#include <chrono>

#include "platform/files.h"
#include "platform/text.h"

namespace quelma::oauth {

class LoginTokenSource final : public net::AccessTokenSource {
 public:
  LoginTokenSource(AccessTokens& tokens, std::optional<TokenEndpoint> endpoint, std::string problem, OauthLogin login,
                   AccessTokens::Log log)
      : tokens_(tokens), endpoint_(std::move(endpoint)), problem_(std::move(problem)), login_(std::move(login)),
        log_(std::move(log)) {}

  std::optional<std::string> accessToken(bool renew) override;
  bool loginNeeded() const override { return loginNeeded_; }
  bool renewable() const override { return !fetched_; }

 private:
  std::optional<std::string> fail(const std::string& text, bool loginNeeded) {
    log_(text + "\r\n");
    loginNeeded_ = loginNeeded;
    return std::nullopt;
  }
  std::string again() const {
    return "Войдите заново: quelma --dir " + tokens_.programDir_ + " " + login_.loginCommand +
           " (в Windows: кнопка «Вход OAuth» в настройках связи)";
  }
  void keepRotated(const std::string& rotated);

  AccessTokens& tokens_;
  std::optional<TokenEndpoint> endpoint_;
  std::string problem_;
  OauthLogin login_;
  AccessTokens::Log log_;
  bool loginNeeded_ = false;
  std::optional<std::string> current_;  // the token this login uses: it is asked for again before AUTH
  bool fetched_ = false;                // current_ came from the platform for this login
};

std::optional<std::string> LoginTokenSource::accessToken(bool renew) {
  if (!endpoint_) return fail("Вход OAuth для " + login_.description + " невозможен: " + problem_, false);
  // One login asks at most once: before connecting, and again before AUTH, it is the same token.
  if (!renew && current_) return current_;
  if (renew) {
    tokens_.forget(login_.key);
  } else if (auto token = tokens_.cached(login_.key)) {
    return current_ = token;
  }
  std::string refresh;
  switch (tokens_.store_.refreshToken(login_.key, refresh)) {
    case TokenStore::Read::kFound: break;
    case TokenStore::Read::kMissing:
      return fail("Для " + login_.description + " не выполнен вход OAuth. " + again(), true);
    case TokenStore::Read::kUnreadable:
      return fail("Файл маркеров " + tokens_.store_.path() + " не читается (" + platform::LastFileErrorText() +
                      " или он зашифрован для другого пользователя). " + again(),
                  true);
  }
  const TokenOutcome outcome = endpoint_->refresh(refresh);
  switch (outcome.kind) {
    case TokenOutcome::Kind::kToken: break;
    case TokenOutcome::Kind::kRefused:
      // invalid_grant: the refresh token was revoked, expired or replaced; only a new login helps.
      if (outcome.error == "invalid_grant") {
        return fail("Вход OAuth для " + login_.description + " больше не действует (" + outcome.description + "). " +
                        again(),
                    true);
      }
      return fail("Сервер авторизации отказал в маркере доступа для " + login_.description + ": " + outcome.description,
                  false);
    case TokenOutcome::Kind::kUnreachable:
    case TokenOutcome::Kind::kBadReply:
      return fail("Не получен маркер доступа для " + login_.description + ": " + outcome.description, false);
  }
  if (!outcome.refreshToken.empty() && outcome.refreshToken != refresh) keepRotated(outcome.refreshToken);
  tokens_.keep(login_.key, outcome.accessToken, outcome.expiresIn);
  current_ = outcome.accessToken;
  fetched_ = true;
  log_("Получен маркер доступа для " + login_.description + " (действует " +
       std::to_string(outcome.expiresIn / 60) + " мин.)\r\n");
  return outcome.accessToken;
}

// The platform has replaced the refresh token: the old one may be dead already, so the new one
// is stored before anything else happens.
void LoginTokenSource::keepRotated(const std::string& rotated) {
  if (tokens_.store_.save(login_.key, rotated)) {
    log_("Сервер авторизации выдал новый маркер обновления для " + login_.description + ": он сохранен\r\n");
  } else {
    log_("Не могу сохранить новый маркер обновления в " + tokens_.store_.path() + " (" + platform::LastFileErrorText() +
         "): после этого сеанса может понадобиться новый вход OAuth\r\n");
  }
}

OauthLogin AccountLogin(const config::Configuration& config, std::size_t index) {
  const config::ProviderAccount& account = config.accounts.at(index);
  return {Pop3LoginKey(account.server, account.login), OauthPlatformName(account.oauth, account.server),
          "счета " + std::to_string(index) + " (" + account.server + ", " + account.login + ")",
          "oauth login account " + std::to_string(index),
          account.proto == config::CollectProtocol::kImap ? MailAccess::kImap : MailAccess::kPop3};
}

OauthLogin SmtpLogin(const config::Configuration& config) {
  return {SmtpLoginKey(config.SMTPServer, config.SMTP_LOGIN_NAME), OauthPlatformName(config.SMTP_OAUTH, config.SMTPServer),
          "SMTP сервера (" + config.SMTPServer + ", " + config.SMTP_LOGIN_NAME + ")", "oauth login smtp",
          MailAccess::kSmtp};
}

std::int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

AccessTokens::AccessTokens(std::string programDir, HttpsPoster poster, SecondsClock now)
    : programDir_(programDir), store_(std::move(programDir)), poster_(std::move(poster)), now_(std::move(now)) {}

std::unique_ptr<net::AccessTokenSource> AccessTokens::sourceFor(const config::Configuration& config,
                                                               const OauthLogin& login, Log log) {
  std::optional<TokenEndpoint> endpoint;
  std::string problem;
  if (const auto platform = OauthPlatformOf(config, login.platformName, login.access)) {
    problem = OauthPlatformProblem(*platform);
    if (problem.empty()) endpoint.emplace(*platform, net::HttpsOptions{config.TLS_CA_FILE, 30000}, poster_);
  } else {
    problem = login.platformName.empty()
                  ? "не известно, чей сервер авторизации выдает маркеры: задайте oauth=microsoft или oauth=google"
                  : "сервер авторизации \"" + login.platformName + "\" не известен: задайте OAUTH_" +
                        platform::ToUpperAscii(login.platformName) + "_TOKEN_URL";
  }
  return std::make_unique<LoginTokenSource>(*this, std::move(endpoint), std::move(problem), login, std::move(log));
}

std::optional<std::string> AccessTokens::cached(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto found = cache_.find(key);
  if (found == cache_.end() || found->second.expiresAt - now_() <= found->second.margin) return std::nullopt;
  return found->second.token;
}

// A token that lives less than twice the margin keeps half its life as its margin: it serves
// the sessions of its first half instead of none at all.
void AccessTokens::keep(const std::string& key, std::string token, std::int64_t expiresIn) {
  std::lock_guard lock(mutex_);
  cache_[key] = {std::move(token), now_() + expiresIn, std::min(kMarginSeconds, expiresIn / 2)};
}

void AccessTokens::forget(const std::string& key) {
  std::lock_guard lock(mutex_);
  cache_.erase(key);
}

}  // namespace quelma::oauth
