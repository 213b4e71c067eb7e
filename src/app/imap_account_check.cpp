// The settings check of one IMAP account: connect, TLS, greeting, capabilities and login
// through the IMAP client's own session, then EXAMINE of each folder (read-only: nothing is
// fetched, flagged or moved) and whether the server offers IDLE for push.
#include <set>

#include "app/check_transcript.h"
#include "app/own_server.h"
#include "app/provider_check.h"
#include "app/provider_check_steps.h"
#include "imap_client/imap_client_error.h"
#include "imap_client/imap_client_session.h"
#include "platform/text.h"

namespace quelma::app {
namespace {

using imap_client::ImapClientError;

constexpr char kStepIdle[] = "IDLE";

std::string FolderStep(const std::string& folder) { return "Папка " + folder; }

// The step an error of the session's opening belongs to; "" for the folders' own.
std::string StepOf(ImapClientError error, const CheckTranscript& transcript) {
  switch (error) {
    case ImapClientError::kGreeting:
    case ImapClientError::kGreetingRefused: return kStepGreeting;
    case ImapClientError::kStartTlsNotOffered:
    case ImapClientError::kAuthNotOffered: return kStepCapabilities;
    case ImapClientError::kTlsHandshake:
    case ImapClientError::kTlsUntrusted:
    case ImapClientError::kTlsExpired:
    case ImapClientError::kTlsHostName:
    case ImapClientError::kTlsPin:
    case ImapClientError::kTlsSettings: return kStepTls;
    case ImapClientError::kLoginRefused:
    case ImapClientError::kLoginDisabled:
    case ImapClientError::kAuthRefused:
    case ImapClientError::kOauthToken:
    case ImapClientError::kOauthLogin:
    case ImapClientError::kAuthInClear: return kStepLogin;
    default: break;
  }
  // The connection broke or a reply was not one: where it stopped tells the step.
  if (transcript.exchanges().front().reply.empty()) return kStepGreeting;
  if (!transcript.wasSent("LOGIN") && !transcript.wasSent("AUTHENTICATE")) return kStepCapabilities;
  return kStepLogin;
}

// The last line of a reply without its line end: an IMAP command's tagged status.
std::string LastLine(const std::string& reply) {
  std::string text = reply;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t lf = text.rfind('\n');
  return FirstLine(lf == std::string::npos ? text : text.substr(lf + 1));
}

std::string Joined(const std::set<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// What the session learnt before it ended.
struct Seen {
  ImapClientError opened = ImapClientError::kNone;
  std::set<std::string> capabilities;
  bool idle = false;
  struct Folder {
    std::string name;
    ImapClientError error = ImapClientError::kNone;
    std::uint32_t messages = 0;
    std::string reply;  // the server's status line to EXAMINE
  };
  std::vector<Folder> folders;
};

class ImapAccountCheck {
 public:
  ImapAccountCheck(const config::Configuration& config, std::size_t index, const ProviderCheckContext& context,
                   CheckTarget& target)
      : config_(config), account_(config.accounts[index]), index_(index), context_(context), steps_(target) {}
  void run();

 private:
  std::vector<std::string> plan() const;
  void talk(net::ByteStream& stream, const net::TlsClient& tls, net::AccessTokenSource* tokens);
  void evaluate();
  void greeting(bool failed);
  void capabilities(bool failed);
  void login(bool failed);
  void folder(const std::string& step);
  void idle();
  void tlsStep() {
    AddTlsStep(steps_, transcript_.tlsOutcome().value_or(net::TlsOutcome{}),
               {account_.server, config_.TLS_CA_FILE, account_.fingerprint}, tlsWords(), context_.now());
  }
  std::string n() const { return std::to_string(index_); }
  std::string mend(Mend what) const { return NameMend(context_.mend, what, n()); }
  std::string oauthHint(OauthFailure failure) const {
    return OauthFailureHint(failure, "IMAP", mend(Mend::kAccountOauthLogin),
                            NameMend(context_.mend, Mend::kOauthPlatform, account_.oauth));
  }
  std::string timeoutHint() const {
    return "Сервер не ответил за " + std::to_string(context_.timeoutMs / 1000) + " с: повторите позже.";
  }
  TlsHintWords tlsWords() const {
    return {mend(Mend::kAccountFingerprint), "SSL/TLS обычно на порту 993, STARTTLS на порту 143", mend(Mend::kAccountTls),
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
  Seen seen_;
};

std::vector<std::string> ImapAccountCheck::plan() const {
  std::vector<std::string> steps;
  switch (account_.tls) {
    case config::TlsMode::kImplicit: steps = {kStepTls, kStepGreeting, kStepCapabilities, kStepLogin}; break;
    case config::TlsMode::kStartTls: steps = {kStepGreeting, kStepCapabilities, kStepTls, kStepLogin}; break;
    case config::TlsMode::kNone: steps = {kStepGreeting, kStepCapabilities, kStepLogin}; break;
  }
  for (const std::string& folder : config::CollectedFolders(account_)) steps.push_back(FolderStep(folder));
  steps.push_back(kStepIdle);
  return steps;
}

void ImapAccountCheck::run() {
  if (account_.auth != config::OauthMechanism::kNone && account_.tls == config::TlsMode::kNone) {
    steps_.fail(kStepSettings, "вход по OAuth 2.0 задан для счета без TLS",
                "Задайте для счета шифрование SSL/TLS (порт 993) или STARTTLS " + mend(Mend::kAccountTls) +
                    ": маркер доступа не передается без шифрования.");
    return;
  }
  if (NamesOwnImapServer(config_, account_)) {
    steps_.warn(kStepSettings,
                "не настроен: " + account_.server + ":" + std::to_string(account_.port) +
                    " - это IMAP сервер самой программы, а не провайдер; счет не загружается",
                "Задайте сервер, порт и логин провайдера " + mend(Mend::kAccountServer) + ".");
    return;
  }
  const net::TlsClientSettings settings{account_.server, config_.TLS_CA_FILE, account_.fingerprint};
  const net::TlsClient tls = transcript_.tlsClient(settings);
  CheckConnection connection(transcript_);
  const CheckConnection::Target target{account_.server, static_cast<std::uint16_t>(account_.port), context_.timeoutMs,
                                       account_.tls == config::TlsMode::kImplicit, mend(Mend::kAccountServer)};
  if (!connection.open(
          steps_, target, plan(), tls, [this](const std::string& text) { log_.log().LogImapClient(text); },
          [this] { tlsStep(); })) {
    return;
  }
  std::unique_ptr<net::AccessTokenSource> tokens;
  if (account_.auth != config::OauthMechanism::kNone && context_.tokens) {
    tokens = context_.tokens(config_, oauth::AccountLogin(config_, index_),
                             [this](const std::string& text) { tokenLog_.push_back(text); });
  }
  talk(connection.stream(), tls, tokens.get());
  connection.close();
  evaluate();
}

// The session up to its login, EXAMINE of each folder while the connection holds, LOGOUT.
void ImapAccountCheck::talk(net::ByteStream& stream, const net::TlsClient& tls, net::AccessTokenSource* tokens) {
  const std::int32_t today = context_.now ? static_cast<std::int32_t>(context_.now() / 86400) : 0;
  imap_client::ImapClientSession session(stream, account_, context_.programDir, log_.log(), today,
                                         account_.tls == config::TlsMode::kStartTls ? &tls : nullptr, tokens);
  seen_.opened = session.open();
  seen_.capabilities = session.capabilities();
  if (seen_.opened != ImapClientError::kNone) return;
  seen_.idle = session.offers("IDLE");
  for (const std::string& name : config::CollectedFolders(account_)) {
    Seen::Folder& f = seen_.folders.emplace_back();
    f.name = name;
    f.error = session.examine(name, f.messages);
    f.reply = LastLine(transcript_.lastReplyTo("EXAMINE").value_or(std::string()));
    if (f.error != ImapClientError::kNone && f.error != ImapClientError::kFolder) return;  // the connection is gone
  }
  session.logout();
}

void ImapAccountCheck::evaluate() {
  std::vector<std::string> planned = plan();
  if (account_.tls == config::TlsMode::kImplicit) {
    tlsStep();
    planned.erase(planned.begin());
  }
  std::string failedStep = seen_.opened == ImapClientError::kNone ? std::string() : StepOf(seen_.opened, transcript_);
  for (const Seen::Folder& f : seen_.folders) {
    if (f.error != ImapClientError::kNone && f.error != ImapClientError::kFolder) failedStep = FolderStep(f.name);
  }
  steps_.reportInOrder(planned, failedStep, [&](const std::string& step, bool failed) {
    if (step == kStepGreeting) return greeting(failed);
    if (step == kStepCapabilities) return capabilities(failed);
    if (step == kStepTls) return tlsStep();
    if (step == kStepLogin) return login(failed);
    if (step == kStepIdle) return idle();
    folder(step);
  });
}

void ImapAccountCheck::greeting(bool failed) {
  const std::string seen = FirstLine(transcript_.exchanges().front().reply);
  if (!failed) return steps_.pass(kStepGreeting, seen);
  if (seen_.opened == ImapClientError::kGreetingRefused) {
    return steps_.fail(kStepGreeting, seen, "Сервер отказал в обслуживании: повторите позже или спросите провайдера.");
  }
  steps_.fail(kStepGreeting, seen.empty() ? "сервер не прислал приветствие IMAP" : "приветствие не IMAP: " + seen,
              "На этом порту нет IMAP сервера, или он ждет TLS с первого байта: проверьте протокол, порт и шифрование "
              "счета " + n() + " (IMAP: SSL/TLS - порт 993, STARTTLS - порт 143); они задаются " + mend(Mend::kAccountTls) +
                  ".");
}

void ImapAccountCheck::capabilities(bool failed) {
  const std::string list = seen_.capabilities.empty() ? std::string("(нет)") : Joined(seen_.capabilities);
  if (!failed) return steps_.pass(kStepCapabilities, "CAPABILITY: " + list);
  switch (seen_.opened) {
    case ImapClientError::kStartTlsNotOffered:
      return steps_.fail(kStepCapabilities, "CAPABILITY: " + list,
                         "Сервер не предлагает STARTTLS: задайте для счета " + n() + " шифрование SSL/TLS с портом 993 " +
                             mend(Mend::kAccountTls) + ", если сервер его знает; без шифрования вход запрещен настройками.");
    case ImapClientError::kAuthNotOffered:
      return steps_.fail(kStepCapabilities, "CAPABILITY: " + list,
                         "Сервер не предлагает вход AUTH=" + std::string(config::OauthMechanismName(account_.auth)) +
                             ": проверьте сервер и способ входа счета " + n() + " (он задается " + mend(Mend::kAccountAuth) +
                             "), или входите паролем.");
    default: break;
  }
  steps_.fail(kStepCapabilities, "сервер не ответил на CAPABILITY (ошибка " +
                                     std::to_string(imap_client::ErrorNumber(seen_.opened)) + ")",
              timeoutHint());
}

void ImapAccountCheck::login(bool failed) {
  const bool oauth = account_.auth != config::OauthMechanism::kNone;
  const std::string method = oauth ? "AUTHENTICATE " + std::string(config::OauthMechanismName(account_.auth))
                             : transcript_.wasSent("AUTHENTICATE") ? std::string("AUTHENTICATE PLAIN")
                                                                   : std::string("LOGIN");
  std::string reply;
  for (const auto& exchange : transcript_.exchanges()) {
    if (exchange.command == "LOGIN" || exchange.command == "AUTHENTICATE" || exchange.command == "*") {
      reply = LastLine(exchange.reply);
    }
  }
  const std::string detail = "имя входа \"" + account_.login + "\", вход " + method + (reply.empty() ? "" : ": " + reply);
  if (!failed) return steps_.pass(kStepLogin, detail);
  std::string tokenWords;
  for (const std::string& line : tokenLog_) tokenWords += "\n" + FirstLine(line);
  switch (seen_.opened) {
    case ImapClientError::kLoginRefused:
      return steps_.fail(kStepLogin, detail,
                         "Проверьте имя входа и пароль счета " + n() + ": пароль задается " + mend(Mend::kAccountPassword) +
                             ". Gmail и другие провайдеры принимают по IMAP только пароль приложения или вход OAuth 2.0.");
    case ImapClientError::kLoginDisabled:
      return steps_.fail(kStepLogin, detail + "\nсервер не принимает пароль на этом соединении (LOGINDISABLED)",
                         "Задайте для счета " + n() + " шифрование SSL/TLS (порт 993) или STARTTLS " +
                             mend(Mend::kAccountTls) + ": без него сервер не принимает пароль.");
    case ImapClientError::kOauthLogin:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoGrant));
    case ImapClientError::kOauthToken:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kNoToken));
    case ImapClientError::kAuthRefused:
      return steps_.fail(kStepLogin, detail + tokenWords, oauthHint(OauthFailure::kTokenRefused));
    default: break;
  }
  steps_.fail(kStepLogin, detail + "\nсервер не ответил или оборвал соединение (ошибка " +
                              std::to_string(imap_client::ErrorNumber(seen_.opened)) + ")",
              timeoutHint());
}

void ImapAccountCheck::folder(const std::string& step) {
  for (const Seen::Folder& f : seen_.folders) {
    if (FolderStep(f.name) != step) continue;
    if (f.error == ImapClientError::kNone) return steps_.pass(step, "EXAMINE: писем " + std::to_string(f.messages));
    if (f.error == ImapClientError::kFolder) {
      return steps_.fail(step, "EXAMINE: " + f.reply,
                         "Такой папки на сервере нет, или она недоступна: проверьте имя (с учетом регистра букв и "
                         "вложенности, например \"INBOX/Работа\" или \"INBOX.Работа\") в списке папок счета " +
                             n() + ".");
    }
    return steps_.fail(step, "сервер не ответил на EXAMINE или оборвал соединение (ошибка " +
                                 std::to_string(imap_client::ErrorNumber(f.error)) + ")",
                       timeoutHint());
  }
  steps_.skip(step, "не проверялась");
}

void ImapAccountCheck::idle() {
  if (seen_.idle) {
    return steps_.pass(kStepIdle, account_.idle ? "сервер предлагает IDLE: мгновенная доставка включена"
                                                : "сервер предлагает IDLE (мгновенная доставка не включена)");
  }
  if (!account_.idle) return steps_.pass(kStepIdle, "сервер не предлагает IDLE (мгновенная доставка не включена)");
  steps_.warn(kStepIdle, "сервер не предлагает IDLE, а для счета включена мгновенная доставка",
              "Без IDLE новая почта этого счета приходит только в сеансах связи по расписанию. Выключите мгновенную "
              "доставку для счета " + n() + " или спросите провайдера.");
}

}  // namespace

CheckTarget CheckImapAccount(const config::Configuration& config, std::size_t index, const ProviderCheckContext& context) {
  const config::ProviderAccount& account = config.accounts[index];
  CheckTarget target{"Счет " + std::to_string(index) + " (IMAP): " + account.server + ":" + std::to_string(account.port) +
                         ", " + account.login,
                     {}};
  ImapAccountCheck(config, index, context, target).run();
  return target;
}

CheckTarget CheckAccount(const config::Configuration& config, std::size_t index, const ProviderCheckContext& context) {
  return config.accounts[index].proto == config::CollectProtocol::kImap ? CheckImapAccount(config, index, context)
                                                                        : CheckPop3Account(config, index, context);
}

}  // namespace quelma::app
