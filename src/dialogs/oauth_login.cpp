// The first OAuth login of the account and SMTP login dialogs: what is needed before any
// server is asked, then the platform's flow.
#include "dialogs/oauth_login.h"

#include "dialogs/dialog_text.h"
#include "dialogs/provider_login.h"
#include "oauth/oauth_platform.h"
#include "platform/text.h"

namespace quelma::dialogs {

namespace {

constexpr char kCaption[] = "Вход OAuth";

Message Problem(std::string text) { return {std::move(text), kCaption, Buttons::kOk, Icon::kError}; }

// What stops a login of method `auth` on `server` for `login` with the platform field `field`.
std::optional<Message> MissingSetting(int auth, const std::string& server, const std::string& login,
                                      const std::string& field) {
  if (MechanismOfLoginChoice(auth) == config::OauthMechanism::kNone) {
    return Problem("Вход OAuth нужен только для входа OAuth 2.0: выберите XOAUTH2 или OAUTHBEARER в списке \"Вход\".");
  }
  if (server.empty() || login.empty()) {
    return Problem("Сначала укажите сервер и логин: маркер обновления сохраняется для этой пары.");
  }
  if (!AcceptPlatformName(field)) return Problem(kBadPlatformName);
  return std::nullopt;
}

}  // namespace

OauthFirstLogin::OauthFirstLogin(const std::string& programDir) : store_(programDir) {}

void OauthFirstLogin::prepare(const config::Configuration& config, const oauth::OauthLogin& login,
                              const std::string& server, oauth::HttpsPoster poster) {
  key_ = login.key;
  if (login.platformName.empty()) {
    problem_ = Problem(UnknownPlatformText(server));
    return;
  }
  const std::optional<oauth::OauthPlatform> platform = oauth::OauthPlatformOf(config, login.platformName, login.access);
  if (!platform) {
    const std::string prefix = "OAUTH_" + platform::ToUpperAscii(login.platformName) + "_";
    problem_ = Problem("Сервер авторизации \"" + login.platformName + "\" программе не известен: задайте в quelma.cfg " +
                       prefix + "TOKEN_URL, " + prefix + "CLIENT_ID и другие его параметры (см. справку).");
    return;
  }
  if (const std::string missing = oauth::OauthPlatformProblem(*platform); !missing.empty()) {
    problem_ = Problem("Вход OAuth невозможен: " + missing + ".");
    return;
  }
  endpoint_.emplace(*platform, net::HttpsOptions{config.TLS_CA_FILE, kEndpointTimeoutMs}, std::move(poster));
}

OauthFirstLogin OauthFirstLogin::ForAccount(const config::Configuration& config, const std::string& programDir,
                                            const AccountFields& fields, oauth::HttpsPoster poster) {
  OauthFirstLogin first(programDir);
  config::Configuration screen = config;
  screen.accounts = {LoginOfAccountFields(fields)};
  const config::ProviderAccount& account = screen.accounts[0];
  first.problem_ = MissingSetting(fields.auth, account.server, account.login, fields.oauth);
  if (!first.problem_) first.prepare(screen, oauth::AccountLogin(screen, 0), account.server, std::move(poster));
  return first;
}

OauthFirstLogin OauthFirstLogin::ForSmtp(const config::Configuration& config, const std::string& programDir,
                                         const SmtpServerFields& server, const SmtpLoginFields& fields,
                                         oauth::HttpsPoster poster) {
  OauthFirstLogin first(programDir);
  config::Configuration screen = config;
  screen.SMTPServer = Squeezed(server.server, 63);
  screen.SMTP_LOGIN_NAME = Cut(fields.name, 63);
  screen.SMTP_OAUTH = AcceptPlatformName(fields.oauth).value_or(std::string());
  first.problem_ = MissingSetting(fields.enabled ? fields.auth : 0, screen.SMTPServer, screen.SMTP_LOGIN_NAME, fields.oauth);
  if (!first.problem_) first.prepare(screen, oauth::SmtpLogin(screen), screen.SMTPServer, std::move(poster));
  return first;
}

oauth::FirstLoginResult OauthFirstLogin::run(const std::function<void(const oauth::DeviceLoginPrompt&)>& show,
                                             const std::function<void(const std::string& url)>& open,
                                             const oauth::Pause& pause) {
  if (!endpoint_) return {oauth::FirstLoginResult::Outcome::kFailed, problem_ ? problem_->text : std::string()};
  if (endpoint_->platform().firstLogin == oauth::FirstLogin::kLoopback) {
    return oauth::RunLoopbackLogin(*endpoint_, store_, key_, open, kBrowserWaitMs, pause);
  }
  return oauth::RunDeviceLogin(*endpoint_, store_, key_, show, pause);
}

std::optional<Message> OauthLoginOutcome(const oauth::FirstLoginResult& result) {
  using Outcome = oauth::FirstLoginResult::Outcome;
  switch (result.outcome) {
    case Outcome::kDone:
      return Message{"Вход выполнен: программа получила доступ к почте. Маркер обновления сохранен в файле oauth.tokens "
                     "рядом с quelma.cfg; по нему программа сама получает маркеры доступа для входа на сервер.",
                     kCaption, Buttons::kOk, Icon::kInformation};
    case Outcome::kCancelled:
      return std::nullopt;
    case Outcome::kDenied:
    case Outcome::kExpired:
    case Outcome::kFailed:
      break;
  }
  return Problem("Вход OAuth не выполнен: " + result.problem + ".");
}

}  // namespace quelma::dialogs
