// The settings check of the provider's SMTP server: connect, TLS, greeting, EHLO and login
// through the SMTP client's own session, then QUIT: no MAIL FROM is ever sent.
#include "app/check_transcript.h"
#include "app/provider_check.h"
#include "app/provider_check_steps.h"
#include "net/tls_log_text.h"
#include "smtp_client/provider_session.h"
#include "smtp_client/smtp_authentication.h"
#include "smtp_client/smtp_client_error.h"

namespace quelma::app {
namespace {

using smtp_client::SmtpClientError;


class SmtpCheck {
 public:
  SmtpCheck(const config::Configuration& config, const ProviderCheckContext& context, CheckTarget& target)
      : config_(config), context_(context), steps_(target) {}
  void run();

 private:
  bool oauth() const { return config_.SMTP_AUTH != config::OauthMechanism::kNone; }
  bool ehloExpected() const { return oauth() || config_.SMTP_USES_LOGIN || config_.SMTP_TLS == config::TlsMode::kStartTls; }
  std::vector<std::string> plan() const;
  std::string stepOf(SmtpClientError error) const;
  void evaluate(SmtpClientError error);
  void greeting(bool failed, SmtpClientError error);
  void capabilities(bool failed, SmtpClientError error);
  void login(bool failed, SmtpClientError error);
  net::TlsClientSettings tlsSettings() const { return {config_.SMTPServer, config_.TLS_CA_FILE, config_.SMTP_TLS_FINGERPRINT}; }
  std::string mend(Mend what) const { return NameMend(context_.mend, what); }
  std::string oauthHint(OauthFailure failure) const {
    return OauthFailureHint(failure, "SMTP", mend(Mend::kSmtpOauthLogin),
                            NameMend(context_.mend, Mend::kOauthPlatform, config_.SMTP_OAUTH));
  }
  TlsHintWords tlsWords() const {
    return {mend(Mend::kSmtpFingerprint), "SSL обычно на порту 465, STARTTLS на порту 587", mend(Mend::kSmtpTls),
            mend(Mend::kCaFile), mend(Mend::kSmtpServer)};
  }
  void addTls() { AddTlsStep(steps_, transcript_.tlsOutcome().value_or(net::TlsOutcome{}), tlsSettings(), tlsWords(), context_.now()); }

  const config::Configuration& config_;
  const ProviderCheckContext& context_;
  CheckSteps steps_;
  CheckTranscript transcript_;
  CheckLog log_;
  std::vector<std::string> tokenLog_;
};

std::vector<std::string> SmtpCheck::plan() const {
  switch (config_.SMTP_TLS) {
    case config::TlsMode::kImplicit: return {kStepTls, kStepGreeting, kStepCapabilities, kStepLogin};
    case config::TlsMode::kStartTls: return {kStepGreeting, kStepCapabilities, kStepTls, kStepLogin};
    case config::TlsMode::kNone: break;
  }
  return {kStepGreeting, kStepCapabilities, kStepLogin};
}

std::string SmtpCheck::stepOf(SmtpClientError error) const {
  switch (error) {
    case SmtpClientError::kNone:
    case SmtpClientError::kQuitSend:
    case SmtpClientError::kQuitReceive: return {};
    case SmtpClientError::kGreetingReceive:
    case SmtpClientError::kGreetingRefused: return kStepGreeting;
    case SmtpClientError::kStartTlsNotOffered:
    case SmtpClientError::kAuthNotOffered: return kStepCapabilities;
    case SmtpClientError::kTlsHandshake:
    case SmtpClientError::kTlsUntrusted:
    case SmtpClientError::kTlsExpired:
    case SmtpClientError::kTlsHostName:
    case SmtpClientError::kTlsPin:
    case SmtpClientError::kTlsSettings: return kStepTls;
    case SmtpClientError::kLoginSend:
    case SmtpClientError::kLoginReceive: {
      // No answer to the (first) EHLO is the capabilities' failure, later ones the login's.
      const auto ehlo = transcript_.firstReplyTo("EHLO");
      if (ehloExpected() && (!ehlo || ehlo->empty())) return kStepCapabilities;
      return kStepLogin;
    }
    default: return kStepLogin;
  }
}

void SmtpCheck::run() {
  if (oauth() && config_.SMTP_TLS == config::TlsMode::kNone) {
    steps_.fail(kStepSettings, "вход по OAuth 2.0 (SMTP_AUTH) задан без TLS",
                "Задайте шифрование SMTP SSL (порт 465) или STARTTLS (порт 587) " + mend(Mend::kSmtpTls) +
                    ": маркер доступа не передается без шифрования.");
    return;
  }
  const std::vector<std::string> planned = plan();
  const net::TlsClient tls = transcript_.tlsClient(tlsSettings());
  CheckConnection connection(transcript_);
  const CheckConnection::Target target{config_.SMTPServer, config_.SMTPSport, context_.timeoutMs,
                                       config_.SMTP_TLS == config::TlsMode::kImplicit, mend(Mend::kSmtpServer)};
  if (!connection.open(steps_, target, planned, tls, [this](const std::string& text) { log_.log().LogSmtpClient(text); },
                       [this] { addTls(); })) {
    return;
  }
  std::unique_ptr<net::AccessTokenSource> tokens;
  if (oauth() && context_.tokens) {
    tokens = context_.tokens(config_, oauth::SmtpLogin(config_), [this](const std::string& text) { tokenLog_.push_back(text); });
  }
  SmtpClientError error = SmtpClientError::kNone;
  {
    smtp_client::ProviderSession session(connection.stream(), config_, log_.log(),
                                         config_.SMTP_TLS == config::TlsMode::kStartTls ? &tls : nullptr, tokens.get());
    error = session.logIn();
    if (error == SmtpClientError::kNone) session.quit();
  }
  connection.close();
  evaluate(error);
}

void SmtpCheck::evaluate(SmtpClientError error) {
  const std::string failedStep = stepOf(error);
  const std::vector<std::string> planned = plan();
  steps_.reportInOrder(planned, failedStep, [&](const std::string& step, bool failed) {
    if (step == kStepTls) addTls();
    if (step == kStepGreeting) greeting(failed, error);
    if (step == kStepCapabilities) capabilities(failed, error);
    if (step == kStepLogin) login(failed, error);
  });
}

void SmtpCheck::greeting(bool failed, SmtpClientError error) {
  const std::string seen = FirstLine(transcript_.exchanges().front().reply);
  if (!failed) return steps_.pass(kStepGreeting, seen);
  if (error == SmtpClientError::kGreetingRefused) {
    return steps_.fail(kStepGreeting, seen, "Сервер не готов принять почту (ответ не 220): повторите позже или спросите провайдера.");
  }
  steps_.fail(kStepGreeting, seen.empty() ? "сервер не прислал приветствие SMTP" : "приветствие оборвано: " + seen,
              "На этом порту нет SMTP сервера, или он ждет TLS с первого байта: проверьте порт и шифрование SMTP (SSL - "
              "порт 465); они задаются " + mend(Mend::kSmtpTls) + ".");
}

void SmtpCheck::capabilities(bool failed, SmtpClientError error) {
  // With STARTTLS the server is asked twice; what it offers over TLS (AUTH) may differ.
  const std::optional<std::string> ehlo = transcript_.firstReplyTo("EHLO");
  const std::optional<std::string> again = transcript_.lastReplyTo("EHLO");
  const auto listed = [](const std::string& reply) {
    const std::string list = CapabilityList(reply, true);
    return list.empty() ? std::string("(нет расширений)") : list;
  };
  std::string shown = "EHLO: " + (ehlo ? listed(*ehlo) : std::string());
  if (transcript_.count("EHLO") > 1) shown += "\nEHLO после TLS: " + listed(*again);
  if (failed) {
    if (error == SmtpClientError::kStartTlsNotOffered) {
      return steps_.fail(kStepCapabilities, shown,
                         "Сервер не предлагает STARTTLS: задайте шифрование SSL с портом 465 " + mend(Mend::kSmtpTls) +
                             ", если сервер его знает; без шифрования передача запрещена настройками.");
    }
    if (error == SmtpClientError::kAuthNotOffered) {
      return steps_.fail(kStepCapabilities, shown,
                         "Сервер не предлагает вход " + std::string(config::OauthMechanismName(config_.SMTP_AUTH)) +
                             ": проверьте сервер и порт (обычно 587 со STARTTLS) или способ входа (он задается " +
                             mend(Mend::kSmtpAuth) + "), или входите паролем.");
    }
    return steps_.fail(kStepCapabilities, "сервер не ответил на EHLO",
                       "Сервер не ответил за " + std::to_string(context_.timeoutMs / 1000) + " с: повторите позже.");
  }
  if (!ehlo) return steps_.pass(kStepCapabilities, "не запрашивались: вход не задан, сеанс начинается с HELO");
  steps_.pass(kStepCapabilities, shown);
}

void SmtpCheck::login(bool failed, SmtpClientError error) {
  std::string reply;
  for (const auto& exchange : transcript_.exchanges()) {
    if (exchange.command == "AUTH" || exchange.command == "*" || exchange.command == "HELO") reply = FirstLine(exchange.reply);
  }
  const bool authSent = transcript_.wasSent("AUTH");
  const std::optional<std::string> ehlo = transcript_.lastReplyTo("EHLO");
  std::string method = "HELO, без входа";
  if (oauth()) {
    method = "AUTH " + std::string(config::OauthMechanismName(config_.SMTP_AUTH));
  } else if (authSent && ehlo) {
    switch (smtp_client::ChooseAuthMethod(*ehlo)) {
      case smtp_client::AuthMethod::kCramMd5: method = "AUTH CRAM-MD5"; break;
      case smtp_client::AuthMethod::kPlain: method = "AUTH PLAIN"; break;
      case smtp_client::AuthMethod::kLogin: method = "AUTH LOGIN"; break;
      case smtp_client::AuthMethod::kNone: break;
    }
  }
  const std::string name = oauth() || config_.SMTP_USES_LOGIN ? "имя входа \"" + config_.SMTP_LOGIN_NAME + "\", " : "";
  const std::string detail = name + "вход " + method + (reply.empty() ? "" : ": " + reply);
  if (!failed) {
    if (config_.SMTP_USES_LOGIN && !oauth() && !authSent) {
      return steps_.warn(kStepLogin, detail,
                         "Сервер не предлагает вход (AUTH CRAM-MD5, PLAIN или LOGIN): письма пойдут без входа, и "
                         "сервер может их не принять. Проверьте порт (обычно 587 со STARTTLS) или отключите вход " +
                             mend(Mend::kSmtpLogin) + ".");
    }
    return steps_.pass(kStepLogin, detail);
  }
  std::string tokenWords;
  for (const std::string& line : tokenLog_) tokenWords += "\n" + FirstLine(line);
  switch (error) {
    case SmtpClientError::kOauthLogin:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoGrant));
    case SmtpClientError::kOauthToken:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoToken));
    case SmtpClientError::kLoginRefused:
      if (oauth()) {
        return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kTokenRefused));
      }
      if (!authSent) {
        return steps_.fail(kStepLogin, detail,
                           "Сервер не принял HELO: проверьте локальный домен (имя, которым программа представляется; он "
                           "задается " + NameMend(context_.mend, Mend::kServersSetting, "LocalDomain") + ").");
      }
      return steps_.fail(kStepLogin, detail, "Проверьте имя входа и пароль SMTP: пароль задается " + mend(Mend::kSmtpPassword) + ".");
    default: break;
  }
  steps_.fail(kStepLogin, detail + "\nсервер не ответил или оборвал соединение (ошибка " +
                              std::to_string(smtp_client::ErrorNumber(error)) + ")",
              "Сервер не ответил за " + std::to_string(context_.timeoutMs / 1000) + " с: повторите позже.");
}

}  // namespace

CheckTarget CheckSmtpProvider(const config::Configuration& config, const ProviderCheckContext& context) {
  CheckTarget target{"SMTP сервер провайдера: " + config.SMTPServer + ":" + std::to_string(config.SMTPSport) +
                         (config.SMTP_USES_LOGIN || config.SMTP_AUTH != config::OauthMechanism::kNone
                              ? ", " + config.SMTP_LOGIN_NAME
                              : std::string()),
                     {}};
  SmtpCheck(config, context, target).run();
  return target;
}

}  // namespace quelma::app
