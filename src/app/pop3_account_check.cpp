// The settings check of one POP3 account: connect, TLS, greeting, capabilities and login
// through the POP3 client's own session, which quits right after the login.
#include <algorithm>
#include <set>

#include "app/check_transcript.h"
#include "app/own_server.h"
#include "app/provider_check.h"
#include "app/provider_check_steps.h"
#include "net/tls_log_text.h"
#include "pop3_client/pop3_client_error.h"
#include "pop3_client/pop3_client_session.h"
#include "platform/text.h"

namespace quelma::app {
namespace {

using pop3_client::Pop3ClientError;

// The step a session's error belongs to.
std::string StepOf(Pop3ClientError error) {
  switch (error) {
    case Pop3ClientError::kGreetingReceive:
    case Pop3ClientError::kGreetingNegative: return kStepGreeting;
    case Pop3ClientError::kStlsSend:
    case Pop3ClientError::kStlsReceive:
    case Pop3ClientError::kStlsNotOffered:
    case Pop3ClientError::kAuthNotOffered:
    case Pop3ClientError::kCapaSend:
    case Pop3ClientError::kCapaReceive: return kStepCapabilities;
    case Pop3ClientError::kTlsHandshake:
    case Pop3ClientError::kTlsUntrusted:
    case Pop3ClientError::kTlsExpired:
    case Pop3ClientError::kTlsHostName:
    case Pop3ClientError::kTlsPin:
    case Pop3ClientError::kTlsSettings: return kStepTls;
    default: return kStepLogin;
  }
}

// A refusal because another session holds the mailbox (RFC 2449's IN-USE, or the words of
// servers that predate it), not because of the password.
bool MailboxInUse(const std::string& reply) {
  const std::string upper = platform::ToUpperAscii(reply);
  return upper.find("[IN-USE]") != std::string::npos || upper.find("LOCK") != std::string::npos;
}

class AccountCheck {
 public:
  AccountCheck(const config::Configuration& config, std::size_t index, const ProviderCheckContext& context,
               CheckTarget& target)
      : config_(config), account_(config.accounts[index]), index_(index), context_(context), steps_(target) {}
  void run();

 private:
  std::vector<std::string> plan() const;
  void evaluate(Pop3ClientError error);
  void greeting(bool failed, Pop3ClientError error);
  void capabilities(bool failed, Pop3ClientError error);
  void login(bool failed, Pop3ClientError error);
  std::string n() const { return std::to_string(index_); }
  std::string mend(Mend what) const { return NameMend(context_.mend, what, n()); }
  std::string oauthHint(OauthFailure failure) const {
    return OauthFailureHint(failure, "POP3", mend(Mend::kAccountOauthLogin),
                            NameMend(context_.mend, Mend::kOauthPlatform, account_.oauth));
  }
  TlsHintWords tlsWords() const {
    return {mend(Mend::kAccountFingerprint), "SSL/TLS обычно на порту 995, STLS на порту 110", mend(Mend::kAccountTls),
            NameMend(context_.mend, Mend::kCaFile), mend(Mend::kAccountServer)};
  }

  const config::Configuration& config_;
  const config::ProviderAccount& account_;
  std::size_t index_;
  const ProviderCheckContext& context_;
  CheckSteps steps_;
  CheckTranscript transcript_;
  CheckLog log_;
  std::vector<std::string> tokenLog_;
};

std::vector<std::string> AccountCheck::plan() const {
  const bool oauth = account_.auth != config::OauthMechanism::kNone;
  switch (account_.tls) {
    case config::TlsMode::kImplicit:
      return oauth ? std::vector<std::string>{kStepTls, kStepGreeting, kStepCapabilities, kStepLogin}
                   : std::vector<std::string>{kStepTls, kStepGreeting, kStepLogin, kStepCapabilities};
    case config::TlsMode::kStartTls: return {kStepGreeting, kStepCapabilities, kStepTls, kStepLogin};
    case config::TlsMode::kNone: break;
  }
  return {kStepGreeting, kStepLogin, kStepCapabilities};
}

void AccountCheck::run() {
  if (account_.auth != config::OauthMechanism::kNone && account_.tls == config::TlsMode::kNone) {
    steps_.fail(kStepSettings, "вход по OAuth 2.0 задан для счета без TLS",
                "Задайте для счета шифрование SSL/TLS (порт 995) или STLS " + mend(Mend::kAccountTls) +
                    ": маркер доступа не передается без шифрования.");
    return;
  }
  if (NamesOwnPop3Server(config_, account_)) {
    steps_.warn(kStepSettings,
                "не настроен: " + account_.server + ":" + std::to_string(account_.port) +
                    " - это POP3 сервер самой программы, а не провайдер; счет не загружается",
                "Задайте сервер, порт и логин провайдера " + mend(Mend::kAccountServer) + ".");
    return;
  }
  const std::vector<std::string> planned = plan();
  const net::TlsClientSettings settings{account_.server, config_.TLS_CA_FILE, account_.fingerprint};
  const net::TlsClient tls = transcript_.tlsClient(settings);
  CheckConnection connection(transcript_);
  const CheckConnection::Target target{account_.server, static_cast<std::uint16_t>(account_.port), context_.timeoutMs,
                                       account_.tls == config::TlsMode::kImplicit, mend(Mend::kAccountServer)};
  if (!connection.open(
          steps_, target, planned, tls, [this](const std::string& text) { log_.log().LogPop3Client(text); },
          [&] {
            AddTlsStep(steps_, transcript_.tlsOutcome().value_or(net::TlsOutcome{}), settings, tlsWords(), context_.now());
          })) {
    return;
  }
  std::unique_ptr<net::AccessTokenSource> tokens;
  if (account_.auth != config::OauthMechanism::kNone && context_.tokens) {
    tokens = context_.tokens(config_, oauth::AccountLogin(config_, index_),
                             [this](const std::string& text) { tokenLog_.push_back(text); });
  }
  Pop3ClientError error = Pop3ClientError::kNone;
  {
    pop3_client::Pop3ClientSession session(connection.stream(), account_, context_.programDir, log_.log(), log_, nullptr,
                                           account_.tls == config::TlsMode::kStartTls ? &tls : nullptr, tokens.get());
    session.stopAfterLogin();
    error = session.run();
  }
  connection.close();
  evaluate(error);
}

void AccountCheck::evaluate(Pop3ClientError error) {
  const std::string failedStep = error == Pop3ClientError::kNone || error == Pop3ClientError::kQuitSend
                                     ? std::string()
                                     : StepOf(error);
  std::vector<std::string> planned = plan();
  if (account_.tls == config::TlsMode::kImplicit) {
    AddTlsStep(steps_, transcript_.tlsOutcome().value_or(net::TlsOutcome{}),
               {account_.server, config_.TLS_CA_FILE, account_.fingerprint}, tlsWords(), context_.now());
    planned.erase(planned.begin());
  }
  steps_.reportInOrder(planned, failedStep, [&](const std::string& step, bool failed) {
    if (step == kStepGreeting) greeting(failed, error);
    if (step == kStepCapabilities) capabilities(failed, error);
    if (step == kStepLogin) login(failed, error);
    if (step == kStepTls) {
      AddTlsStep(steps_, transcript_.tlsOutcome().value_or(net::TlsOutcome{}),
                 {account_.server, config_.TLS_CA_FILE, account_.fingerprint}, tlsWords(), context_.now());
    }
  });
}

void AccountCheck::greeting(bool failed, Pop3ClientError error) {
  const std::string seen = FirstLine(transcript_.exchanges().front().reply);
  if (!failed) return steps_.pass(kStepGreeting, seen);
  if (error == Pop3ClientError::kGreetingNegative) {
    return steps_.fail(kStepGreeting, seen, "Сервер отказал в обслуживании: повторите позже или спросите провайдера.");
  }
  steps_.fail(kStepGreeting, seen.empty() ? "сервер не прислал приветствие POP3" : "приветствие оборвано: " + seen,
              "На этом порту нет POP3 сервера, или он ждет TLS с первого байта: проверьте порт и шифрование счета " +
                  n() + " (SSL/TLS - порт 995); они задаются " + mend(Mend::kAccountTls) + ".");
}

void AccountCheck::capabilities(bool failed, Pop3ClientError error) {
  // CAPA may be asked before STLS or the login and again after it: the last answer counts.
  const std::optional<std::string> capa = transcript_.lastReplyTo("CAPA");
  const auto listed = [](const std::optional<std::string>& reply) {
    return reply && !reply->empty() && (*reply)[0] == '+' ? CapabilityList(*reply, false) : std::string();
  };
  const std::string list = listed(capa);
  const std::string earlier = transcript_.count("CAPA") > 1 ? listed(transcript_.firstReplyTo("CAPA")) : std::string();
  if (failed) {
    if (error == Pop3ClientError::kStlsNotOffered) {
      return steps_.fail(kStepCapabilities, "CAPA: " + (list.empty() ? std::string("(нет)") : list),
                         "Сервер не предлагает STLS: задайте для счета " + n() + " шифрование SSL/TLS с портом 995 " +
                             mend(Mend::kAccountTls) + ", если сервер его знает; без шифрования вход запрещен настройками.");
    }
    if (error == Pop3ClientError::kAuthNotOffered) {
      return steps_.fail(kStepCapabilities, "CAPA: " + (list.empty() ? std::string("(нет)") : list),
                         "Сервер не предлагает вход " + std::string(config::OauthMechanismName(account_.auth)) +
                             ": проверьте сервер и способ входа счета " + n() + " (он задается " + mend(Mend::kAccountAuth) +
                             "), или входите паролем.");
    }
    return steps_.fail(kStepCapabilities, "сервер не ответил на CAPA",
                       "Сервер не ответил за " + std::to_string(context_.timeoutMs / 1000) + " с: повторите позже.");
  }
  if (!capa) return steps_.skip(kStepCapabilities, "не запрашивались");
  const std::string shown = (earlier.empty() ? std::string() : "CAPA: " + earlier + "\nзатем ") +
                            (list.empty() ? "сервер не знает CAPA" : "CAPA: " + list);
  if (account_.keepDays != 0) {
    const std::string upper = "\n" + *capa;
    if (list.empty() || (upper.find("\nUIDL") == std::string::npos && upper.find("\nuidl") == std::string::npos)) {
      return steps_.warn(kStepCapabilities, shown,
                         "Сервер не называет UIDL: без него письма не могут оставаться на сервере (хранение задано для счета " +
                             n() + "), они будут удаляться после загрузки. Уберите хранение " + mend(Mend::kAccountKeep) +
                             " или спросите провайдера.");
    }
  }
  steps_.pass(kStepCapabilities, shown);
}

void AccountCheck::login(bool failed, Pop3ClientError error) {
  const bool oauth = account_.auth != config::OauthMechanism::kNone;
  const std::string method = oauth ? "AUTH " + std::string(config::OauthMechanismName(account_.auth))
                             : transcript_.wasSent("PASS") ? std::string("USER/PASS")
                             : transcript_.wasSent("APOP") ? std::string("APOP")
                                                           : std::string("USER/PASS");
  std::string reply;
  for (const auto& exchange : transcript_.exchanges()) {
    if (exchange.command == "PASS" || exchange.command == "USER" || exchange.command == "APOP" ||
        exchange.command == "AUTH" || exchange.command == "*") {
      reply = FirstLine(exchange.reply);
    }
  }
  const std::string detail = "имя входа \"" + account_.login + "\", вход " + method + (reply.empty() ? "" : ": " + reply);
  if (!failed) return steps_.pass(kStepLogin, detail);
  std::string tokenWords;
  for (const std::string& line : tokenLog_) tokenWords += "\n" + FirstLine(line);
  switch (error) {
    case Pop3ClientError::kNegativeReply:
      if (MailboxInUse(reply)) {
        return steps_.fail(kStepLogin, detail,
                           "Ящик у провайдера занят другим сеансом (идет сеанс связи?): повторите проверку, когда он "
                           "закончится.");
      }
      return steps_.fail(kStepLogin, detail,
                         "Проверьте имя входа и пароль счета " + n() + ": пароль задается " + mend(Mend::kAccountPassword) + ".");
    case Pop3ClientError::kOauthLogin:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoGrant));
    case Pop3ClientError::kOauthToken:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoToken));
    case Pop3ClientError::kAuthRefused:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kTokenRefused));
    default: break;
  }
  steps_.fail(kStepLogin, detail + "\nсервер не ответил или оборвал соединение (ошибка " +
                              std::to_string(pop3_client::ErrorNumber(error)) + ")",
              "Сервер не ответил за " + std::to_string(context_.timeoutMs / 1000) + " с: повторите позже.");
}

}  // namespace

CheckTarget CheckPop3Account(const config::Configuration& config, std::size_t index,
                             const ProviderCheckContext& context) {
  const config::ProviderAccount& account = config.accounts[index];
  CheckTarget target{"Счет " + std::to_string(index) + ": " + account.server + ":" + std::to_string(account.port) +
                         ", " + account.login,
                     {}};
  AccountCheck(config, index, context, target).run();
  return target;
}

}  // namespace quelma::app
