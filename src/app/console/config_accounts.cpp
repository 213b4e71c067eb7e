// "config account ..." and "config smtp set ...": the provider accounts and the provider's SMTP
// server of the communication dialog, through its account and SMTP login dialogs.
#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "config/provider_presets.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/dialog_text.h"
#include "dialogs/provider_login.h"
#include "platform/text.h"

namespace quelma::app {

namespace {

constexpr KnownOption kAccountOptions[] = {
    {"preset", true}, {"server", true},      {"login", true}, {"port", true},    {"tls", true},
    {"apop", true},   {"deliver", true},     {"auth", true},  {"oauth", true},   {"fingerprint", true},
    {"keep", true},   {"maxsize", true},     {"password-stdin", false}, {"proto", true},
    {"folders", true}, {"after", true},      {"idle", true}};

constexpr KnownOption kSmtpOptions[] = {
    {"preset", true}, {"server", true}, {"port", true},   {"tls", true},   {"fingerprint", true},
    {"ca-file", true}, {"login", true}, {"no-login", false}, {"auth", true}, {"oauth", true},
    {"password-stdin", false}};

// The provider choice of a preset's name, or nothing.
std::optional<int> PresetChoice(std::string_view id) {
  const auto presets = config::ProviderPresets();
  for (std::size_t i = 0; i < presets.size(); ++i) {
    if (platform::EqualsIgnoreAsciiCase(presets[i].id, id)) return static_cast<int>(i) + 1;
  }
  return std::nullopt;
}

std::string PresetNames() {
  std::string names;
  for (const config::ProviderPreset& preset : config::ProviderPresets()) names += (names.empty() ? "" : "|") + std::string(preset.id);
  return names;
}

// "none", "stls" / "starttls", "ssl": the TLS choice of the lists.
std::optional<int> TlsChoice(std::string_view word) {
  const std::string w = platform::ToLowerAscii(word);
  if (w == "none" || w == "no") return 0;
  if (w == "stls" || w == "starttls") return 1;
  if (w == "ssl" || w == "tls") return 2;
  return std::nullopt;
}

// "password", "xoauth2", "oauthbearer": the login choice of the lists.
std::optional<int> LoginChoice(std::string_view word) {
  const std::string w = platform::ToLowerAscii(word);
  if (w == "password") return dialogs::LoginChoiceOf(config::OauthMechanism::kNone);
  if (w == "xoauth2") return dialogs::LoginChoiceOf(config::OauthMechanism::kXoauth2);
  if (w == "oauthbearer") return dialogs::LoginChoiceOf(config::OauthMechanism::kOauthBearer);
  return std::nullopt;
}

// The port field must hold a port the dialog keeps: it takes any other for the usual one.
std::optional<std::string> PortProblem(const std::string& port) {
  const auto value = dialogs::ReadCount(port, config::limits::kProviderPort);
  if (!value || *value == 0) return "Порт сервера провайдера - число от 1 до " + std::to_string(config::limits::kProviderPort) + ".";
  return std::nullopt;
}

std::string NoneIsEmpty(const std::string& word) { return word == "none" ? std::string() : word; }

// "pop3", "imap": the protocol choice.
std::optional<int> ProtocolChoice(std::string_view word) {
  const std::string w = platform::ToLowerAscii(word);
  if (w == "pop3") return dialogs::ProtocolChoiceOf(config::CollectProtocol::kPop3);
  if (w == "imap") return dialogs::ProtocolChoiceOf(config::CollectProtocol::kImap);
  return std::nullopt;
}

// The IMAP options: what becomes of collected mail, and push. A problem when a value is not one
// or the account is a POP3 one, which reads one mailbox and deletes.
std::optional<std::string> FillImapFields(const CommandWords& w, dialogs::AccountFields& f) {
  const bool imap = dialogs::ProtocolOfChoice(f.proto) == config::CollectProtocol::kImap;
  if (const auto v = w.value("folders")) {
    if (!imap) return "--folders - только для счета IMAP (--proto imap)";
    f.folders = *v;
  }
  if (const auto v = w.value("after")) {
    if (platform::ToLowerAscii(*v) == "delete") {
      f.after = 0;
    } else if (platform::ToLowerAscii(v->substr(0, 5)) == "move:") {
      if (!imap) return "--after move: - только для счета IMAP (--proto imap)";
      f.after = 1;
      f.moveTo = v->substr(5);
    } else {
      return "--after: delete или move:ПАПКА";
    }
  }
  if (const auto v = w.value("idle")) {
    const auto idle = ParseYesNo(*v);
    if (!idle) return "--idle: yes или no";
    if (*idle && !imap) return "--idle yes - только для счета IMAP (--proto imap)";
    f.idle = *idle;
  }
  return std::nullopt;
}

// The options into the account dialog's fields, as a user fills them in: the protocol and the
// provider first, then the rest; a new protocol or TLS choice moves a usual port along. A
// problem when a value is not one.
std::optional<std::string> FillAccountFields(ConfigSession& session, const CommandWords& w,
                                             const dialogs::AccountDialog& dialog, dialogs::AccountFields& f) {
  if (const auto v = w.value("proto")) {
    const auto proto = ProtocolChoice(*v);
    if (!proto) return "--proto: pop3 или imap";
    dialogs::AccountDialog::ApplyProtocol(*proto, f);
  }
  if (const auto preset = w.value("preset")) {
    const auto choice = PresetChoice(*preset);
    if (!choice) return "нет поставщика \"" + *preset + "\": " + PresetNames();
    dialogs::AccountDialog::ApplyProvider(*choice, f);
    const std::string note = dialogs::AccountProviderNote(*choice, dialogs::ProtocolOfChoice(f.proto));
    if (!note.empty()) session.say(note);
  }
  if (const auto v = w.value("server")) f.server = *v;
  if (const auto v = w.value("login")) f.login = *v;
  if (const auto v = w.value("tls")) {
    const auto tls = TlsChoice(*v);
    if (!tls) return "--tls: none, stls или ssl";
    if (!w.has("port")) f.port = dialogs::PortAfterTlsChoice(f.port, f.tls, *tls, dialogs::AccountUsualPorts(f.proto));
    f.tls = *tls;
  }
  if (const auto v = w.value("port")) {
    if (const auto problem = PortProblem(*v)) return problem;
    f.port = *v;
  }
  if (const auto v = w.value("apop")) {
    const auto apop = ParseYesNo(*v);
    if (!apop) return "--apop: yes или no";
    if (*apop && dialogs::ProtocolOfChoice(f.proto) == config::CollectProtocol::kImap) return "--apop - вход POP3, у счета IMAP его нет";
    f.apop = *apop;
  }
  if (const auto v = w.value("deliver")) {
    const auto& choices = dialog.deliveryChoices();
    f.delivery = -1;
    for (std::size_t i = 0; i < choices.size(); ++i) {
      if ((*v == "*" && i == 0) || (i > 0 && platform::EqualsIgnoreAsciiCase(choices[i], *v))) f.delivery = static_cast<int>(i);
    }
    if (f.delivery < 0) return "Нет пользователя \"" + *v + "\", которому можно доставлять почту счета (* - сортировщик).";
  }
  if (const auto v = w.value("auth")) {
    const auto auth = LoginChoice(*v);
    if (!auth) return "--auth: password, xoauth2 или oauthbearer";
    f.auth = *auth;
  }
  if (const auto v = w.value("oauth")) f.oauth = *v;
  if (const auto v = w.value("fingerprint")) f.fingerprint = NoneIsEmpty(*v);
  if (const auto v = w.value("keep")) {
    f.keepForever = platform::ToLowerAscii(*v) == "forever";
    f.keep = f.keepForever ? std::string() : *v;
  }
  if (const auto v = w.value("maxsize")) f.maxSize = *v;
  if (auto problem = FillImapFields(w, f)) return problem;
  if (w.has("password-stdin")) {
    const auto line = session.readLine();
    if (!line) return "пароль не прочитан со стандартного ввода";
    if (line->size() > config::limits::kStoredAccountPassword) {
      return "quelma.cfg хранит не больше " + std::to_string(config::limits::kStoredAccountPassword) +
             " символов пароля счета.";
    }
    f.password = f.repeat = *line;
  }
  return std::nullopt;
}

// The account dialog on `index` (-1: a new account), then the communication dialog's OK.
int EditAccount(ConfigSession& session, int index, const CommandWords& w) {
  dialogs::CommunicationDialog communication(session.env(), session.access());
  if (index < 0 && !communication.mayAddAccount()) return 1;
  dialogs::AccountDialog dialog(communication.working(), index);
  dialogs::AccountFields fields = dialog.opening();
  if (const auto problem = FillAccountFields(session, w, dialog, fields)) return session.refuse(*problem);
  if (dialog.ok(fields, session.prompt()) != dialogs::InnerOutcome::kAccepted) return 1;
  const int result = session.finish(communication.ok(communication.fields()));
  if (result != 0) return result;
  const auto& accounts = session.config()->accounts;
  const std::size_t n = index < 0 ? accounts.size() - 1 : static_cast<std::size_t>(index);
  if (index < 0) session.say("Счет " + std::to_string(n) + " добавлен.");
  if (accounts[n].password.empty() && accounts[n].auth == config::OauthMechanism::kNone) {
    session.say("Пароль счета не задан: quelma set-password account " + std::to_string(n));
  } else if (accounts[n].auth != config::OauthMechanism::kNone && (index < 0 || w.has("auth") || w.has("preset"))) {
    session.say("Вход OAuth 2.0: quelma oauth login account " + std::to_string(n));
  }
  return 0;
}

}  // namespace

std::vector<std::string> AccountLines(const config::Configuration& config) {
  std::vector<std::string> lines;
  const auto rows = dialogs::AccountRows(config);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const config::ProviderAccount& a = config.accounts[i];
    std::string line = std::to_string(i) + ": " + rows[i].server + ":" + rows[i].port + " " + rows[i].login;
    if (a.tls != config::TlsMode::kNone) line += a.tls == config::TlsMode::kImplicit ? " ssl" : " stls";
    line += a.auth != config::OauthMechanism::kNone ? " " + std::string(config::OauthMechanismName(a.auth)) + " " + a.oauth
                                                     : a.password.empty() ? " (без пароля)" : "";
    if (a.useApop != 0) line += " apop";
    line += " -> " + rows[i].delivery;
    if (a.proto == config::CollectProtocol::kImap) line += ", IMAP: " + dialogs::FolderFieldText(config::CollectedFolders(a));
    if (!rows[i].keep.empty()) line += ", хранить " + rows[i].keep;
    if (!a.moveTo.empty()) line += ", затем перенести в \"" + a.moveTo + "\"";
    if (a.maxSizeKb != 0) line += ", не больше " + std::to_string(a.maxSizeKb) + " КБ";
    if (a.idle) line += ", IDLE";
    lines.push_back(line);
  }
  return lines;
}

int AccountCommand(ConfigSession& session, Words words) {
  const CommandWords w = ParseCommandWords(words, kAccountOptions);
  if (!w.problem.empty()) return session.usage(w.problem);
  const std::string verb = w.positional.empty() ? "" : w.positional[0];
  const std::size_t count = session.config()->accounts.size();
  if (verb == "list" && w.positional.size() == 1 && w.options.empty()) {
    for (const std::string& line : AccountLines(*session.config())) session.say(line);
    return 0;
  }
  if (verb == "add" && w.positional.size() == 1) return EditAccount(session, -1, w);
  if ((verb != "edit" && verb != "delete") || w.positional.size() != 2) {
    return session.usage("config account list | add --server S --login L [--proto pop3|imap] ... | edit N ... | delete N");
  }
  const auto index = ParseIndex(w.positional[1], count);
  if (!index) return session.refuse("Нет счета " + w.positional[1] + " (счетов: " + std::to_string(count) + ").");
  if (verb == "edit") return EditAccount(session, *index, w);
  if (!w.options.empty()) return session.usage("у \"account delete\" нет параметров");
  dialogs::CommunicationDialog communication(session.env(), session.access());
  communication.deleteAccount(*index);
  if (session.refused()) return 1;
  return session.finish(communication.ok(communication.fields()));
}

int SmtpCommand(ConfigSession& session, Words words) {
  const CommandWords w = ParseCommandWords(words, kSmtpOptions);
  if (!w.problem.empty()) return session.usage(w.problem);
  if (w.positional.size() != 1 || w.positional[0] != "set" || w.options.empty()) {
    return session.usage("config smtp set [--preset P] [--server S] [--port N] [--tls none|starttls|ssl] ...");
  }
  dialogs::CommunicationDialog communication(session.env(), session.access());
  dialogs::CommunicationFields fields = communication.fields();
  dialogs::SmtpServerFields server{fields.smtpServer, fields.smtpPort, fields.smtpTls, fields.smtpFingerprint};
  dialogs::SmtpLoginFields login = dialogs::SmtpLoginOpening(communication.working().get());
  if (const auto preset = w.value("preset")) {
    const auto choice = PresetChoice(*preset);
    if (!choice) return session.refuse("нет поставщика \"" + *preset + "\": " + PresetNames());
    dialogs::ApplySmtpProvider(*choice, server, login);
    if (const std::string note = dialogs::ProviderNote(*choice); !note.empty()) session.say(note);
  }
  if (const auto v = w.value("server")) server.server = *v;
  if (const auto v = w.value("tls")) {
    const auto tls = TlsChoice(*v);
    if (!tls) return session.refuse("--tls: none, starttls или ssl");
    if (!w.has("port")) server.port = dialogs::PortAfterTlsChoice(server.port, server.tls, *tls, dialogs::kSmtpUsualPorts);
    server.tls = *tls;
  }
  if (const auto v = w.value("port")) {
    if (const auto problem = PortProblem(*v)) return session.refuse(*problem);
    server.port = *v;
  }
  if (const auto v = w.value("fingerprint")) server.fingerprint = NoneIsEmpty(*v);
  if (const auto v = w.value("ca-file")) fields.caFile = NoneIsEmpty(*v);
  const bool loginChanged = w.has("preset") || w.has("login") || w.has("no-login") || w.has("password-stdin") ||
                            w.has("auth") || w.has("oauth");
  if (w.has("no-login") && (w.has("login") || w.has("password-stdin") || w.has("auth") || w.has("oauth"))) {
    return session.usage("--no-login отключает вход: без --login, --password-stdin, --auth и --oauth");
  }
  if (w.has("no-login")) login.enabled = false;
  if (const auto v = w.value("login")) {
    login.enabled = true;
    login.name = *v;
  }
  if (const auto v = w.value("auth")) {
    const auto auth = LoginChoice(*v);
    if (!auth) return session.refuse("--auth: password, xoauth2 или oauthbearer");
    login.auth = *auth;
  }
  if (const auto v = w.value("oauth")) login.oauth = *v;
  if (w.has("password-stdin")) {
    const auto line = session.readLine();
    if (!line) return session.refuse("пароль не прочитан со стандартного ввода");
    if (line->size() > config::limits::kStoredSmtpPassword) {
      return session.refuse("quelma.cfg хранит не больше " + std::to_string(config::limits::kStoredSmtpPassword) +
                            " символов пароля SMTP.");
    }
    login.enabled = true;
    login.password = login.repeat = *line;
  }
  if (loginChanged &&
      dialogs::AcceptSmtpLogin(communication.working(), login, server, session.prompt()) != dialogs::InnerOutcome::kAccepted) {
    return 1;
  }
  fields.smtpServer = server.server;
  fields.smtpPort = server.port;
  fields.smtpTls = server.tls;
  fields.smtpFingerprint = server.fingerprint;
  return session.finish(communication.ok(fields));
}

}  // namespace quelma::app
