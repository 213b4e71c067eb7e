#include "dialogs/communication_dialog.h"

#include <algorithm>

#include "dialogs/dialog_text.h"
#include "dialogs/provider_login.h"
#include "oauth/oauth_platform.h"
#include "platform/text.h"

namespace quelma::dialogs {

namespace {

constexpr char kSorterChoice[] = "* Сортировщик";
constexpr char kBadFingerprint[] =
    "Отпечаток сертификата - это 64 шестнадцатеричные цифры (SHA-256), двоеточия допускаются. "
    "Оставьте поле пустым, если сертификат проверяется по доверенным издателям.";

constexpr char kAccountOauthWithoutTls[] =
    "Вход OAuth 2.0 передает маркер доступа и возможен только по защищенному соединению: "
    "выберите шифрование STLS или SSL/TLS.";
constexpr char kSmtpOauthWithoutTls[] =
    "Вход OAuth 2.0 на SMTP сервер передает маркер доступа и возможен только по защищенному соединению: "
    "выберите шифрование SMTP STARTTLS или SSL/TLS.";

Message Error(std::string text) { return {std::move(text), "Ошибка", Buttons::kOk, Icon::kError}; }

// The message of an OAuth login that cannot work as set, or nothing.
std::optional<Message> OauthLoginProblem(config::OauthMechanism auth, config::TlsMode tls, const char* withoutTls,
                                         const std::string& platform, const std::string& server) {
  if (auth == config::OauthMechanism::kNone) return std::nullopt;
  if (tls == config::TlsMode::kNone) return Error(withoutTls);
  if (oauth::OauthPlatformName(platform, server).empty()) return Error(UnknownPlatformText(server));
  return std::nullopt;
}

std::uint32_t ReadOr(std::string_view text, std::uint32_t none) { return ReadDecimal(text).value_or(none); }

std::string BadKeepDaysText() {
  return "Срок хранения писем на сервере - число дней от 0 до " + std::to_string(config::kMaxKeepDays) +
         ". Пустое поле или 0 - письма удаляются с сервера сразу после загрузки; чтобы они не удалялись "
         "никогда, отметьте \"всегда\".";
}

std::string BadMaxSizeText() {
  return "Наибольший размер загружаемого письма - число килобайт от 0 до " + std::to_string(config::kMaxSizeKb) +
         ". Пустое поле или 0 - письма загружаются любого размера.";
}

// The keep and size fields into `a`, or the message that refuses them (and `a` untouched).
std::optional<Message> TakeLeftAtProvider(const AccountFields& f, config::ProviderAccount& a) {
  std::int32_t keepDays = config::kKeepForever;
  if (!f.keepForever) {  // the days field is disabled then and says nothing
    const auto days = ReadCount(f.keep, static_cast<std::uint32_t>(config::kMaxKeepDays));
    if (!days) return Error(BadKeepDaysText());
    keepDays = static_cast<std::int32_t>(*days);
  }
  const auto maxSize = ReadCount(f.maxSize, config::kMaxSizeKb);
  if (!maxSize) return Error(BadMaxSizeText());
  a.keepDays = keepDays;
  a.maxSizeKb = *maxSize;
  return std::nullopt;
}

// "inbox" in any case names the one INBOX; other names count their case.
std::string FolderName(std::string_view name) {
  return platform::EqualsIgnoreAsciiCase(name, "INBOX") ? std::string("INBOX") : std::string(name);
}

std::string TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// A name as the folders field shows it: only what would split it is escaped.
std::string FieldName(std::string_view name) {
  std::string text;
  for (const char c : name) {
    if (c == '%') text += "%25";
    else if (c == ',') text += "%2C";
    else text += c;
  }
  return text;
}

std::string NameOfField(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view rest = text.substr(i, 3);
    if (platform::EqualsIgnoreAsciiCase(rest, "%2C")) {
      name += ',';
      i += 2;
    } else if (rest == "%25") {
      name += '%';
      i += 2;
    } else {
      name += text[i];
    }
  }
  return FolderName(TrimBlanks(name));
}

std::string FolderTooLongText(const std::string& name) {
  return "Имя папки на сервере - не длиннее " + std::to_string(config::kMaxFolderName) + " символов: \"" +
         Cut(name, 40) + "...\".";
}

// The IMAP fields into `a`, or the message that refuses them. A POP3 account keeps what its
// disabled fields hold (they do nothing there, and come back with IMAP); only IMAP's own
// conflicts are refused.
std::optional<Message> TakeImapFields(const AccountFields& f, config::ProviderAccount& a) {
  const bool imap = a.proto == config::CollectProtocol::kImap;
  std::vector<std::string> folders;
  if (auto refused = ParseFolderField(f.folders, folders)) return refused;
  std::string moveTo;
  if (f.after == 1) {
    moveTo = FolderName(TrimBlanks(f.moveTo));
    if (moveTo.size() > config::kMaxFolderName) return Error(FolderTooLongText(moveTo));
  }
  if (imap && f.after == 1) {
    if (moveTo.empty()) {
      return Error("Укажите папку на сервере, в которую переносить загруженные письма, или выберите удаление.");
    }
    const std::vector<std::string> collected = folders.empty() ? std::vector<std::string>{"INBOX"} : folders;
    if (std::find(collected.begin(), collected.end(), moveTo) != collected.end()) {
      return Error("Папка \"" + moveTo + "\" сама загружается: перенесенные в нее письма загружались бы снова. "
                   "Выберите для переноса другую папку или удаление.");
    }
    if (a.keepDays == config::kKeepForever) {
      return Error("Письма хранятся на сервере всегда и никуда не переносятся: снимите \"всегда\" или выберите удаление.");
    }
  }
  a.folders = folders == std::vector<std::string>{"INBOX"} ? std::vector<std::string>{} : folders;
  a.moveTo = moveTo;
  a.idle = f.idle;
  return std::nullopt;
}

std::string ProtocolColumn(const config::ProviderAccount& a) {
  if (a.proto != config::CollectProtocol::kImap) return {};
  return a.idle ? "IMAP, IDLE" : "IMAP";
}

// The list's column: empty when nothing is kept.
std::string KeepColumn(std::int32_t keepDays) {
  if (keepDays == config::kKeepForever) return "всегда";
  return keepDays > 0 ? std::to_string(keepDays) + " дн." : std::string();
}

}  // namespace

CommunicationDialog::CommunicationDialog(DialogEnvironment& env, dialup::RemoteAccess& access)
    : env_(env), access_(access), working_(env) {
  if (!working_.get().UseLAN) fillDialUpGroup();
}

void CommunicationDialog::fillDialUpGroup() {
  config::Configuration& c = working_.get();
  std::vector<std::string> entries = access_.entryNames();
  if (entries.empty()) {  // dial-up cannot be chosen on a machine without entries
    c.UseLAN = true;
    working_.publish();
    return;
  }
  group_.enabled = true;
  group_.autoOff = c.DialupAutoOff;
  group_.entries = std::move(entries);
  group_.selected = -1;
  for (std::size_t i = 0; i < group_.entries.size(); ++i) {
    if (group_.entries[i] == c.DialUpRecord) {
      group_.selected = static_cast<int>(i);
      break;
    }
  }
  group_.phones.assign(c.DialupPhoneNumber.begin(), c.DialupPhoneNumber.begin() + phoneCount());
}

int CommunicationDialog::phoneCount() const {
  const auto& phones = working_.get().DialupPhoneNumber;
  int n = 0;
  while (n < static_cast<int>(phones.size()) && !phones[n].empty()) ++n;
  return n;
}

CommunicationFields CommunicationDialog::fields() const {
  const config::Configuration& c = working_.get();
  return {c.SMTPServer,
          std::to_string(c.SMTPSport),
          TlsChoiceOf(c.SMTP_TLS),
          c.SMTP_TLS_FINGERPRINT,
          c.TLS_CA_FILE,
          c.UseLAN,
          group_.selected >= 0 ? group_.entries[group_.selected] : std::string(),
          group_.enabled && group_.autoOff,
          std::to_string(c.DialupAttempts)};
}

std::vector<AccountRow> AccountRows(const config::Configuration& config) {
  std::vector<AccountRow> rows;
  for (const config::ProviderAccount& a : config.accounts) {
    const std::string password = a.auth != config::OauthMechanism::kNone ? "OAuth" : std::string(a.password.size(), '*');
    rows.push_back({a.server, a.login, password, std::to_string(a.port),
                    a.deliverTo.starts_with('*') ? "(СОРТИРОВЩИК)" : a.deliverTo, KeepColumn(a.keepDays),
                    ProtocolColumn(a)});
  }
  return rows;
}

void CommunicationDialog::toggleLan() {
  config::Configuration& c = working_.get();
  if (c.UseLAN) {
    c.UseLAN = false;
    fillDialUpGroup();
  } else {
    c.UseLAN = true;
    group_.enabled = false;
  }
  working_.publish();
}

bool CommunicationDialog::mayAddAccount() {
  if (working_.get().accounts.size() < config::limits::kAccounts) return true;
  env_.prompt.ask(Error("Достигнуто максимальное количество учетных записей POP3 клиента."));
  return false;
}

void CommunicationDialog::deleteAccount(int index) {
  auto& accounts = working_.get().accounts;
  if (index < 0 || static_cast<std::size_t>(index) >= accounts.size()) return;
  if (accounts.size() == 1) {
    env_.prompt.ask(Error("Нельзя удалять последнюю учетную запись."));
    return;
  }
  if (!env_.prompt.ask({"Вы действительно хотите удалить эту учетную запись?", "Удаление", Buttons::kYesNo,
                        Icon::kQuestion})) {
    return;
  }
  accounts.erase(accounts.begin() + index);
  working_.publish();
}

int CommunicationDialog::newPhoneIndex() const {
  const int count = phoneCount();
  return count < static_cast<int>(config::limits::kPhoneNumbers) ? count : -1;
}

void CommunicationDialog::phoneChanged(int index, const std::string& number) {
  auto& phones = working_.get().DialupPhoneNumber;
  if (index < 0 || static_cast<std::size_t>(index) >= phones.size()) return;
  const bool added = index == phoneCount();
  phones[index] = number;
  if (added && static_cast<std::size_t>(index) + 1 < phones.size()) phones[index + 1].clear();
  working_.publish();
  fillDialUpGroup();
}

void CommunicationDialog::deletePhone(int index) {
  auto& phones = working_.get().DialupPhoneNumber;
  if (index < 0 || index >= phoneCount()) return;
  for (std::size_t i = static_cast<std::size_t>(index); i + 1 < phones.size(); ++i) phones[i] = phones[i + 1];
  phones.back().clear();
  working_.publish();
  fillDialUpGroup();
}

bool CommunicationDialog::ok(const CommunicationFields& f) {
  config::Configuration& c = working_.get();
  const auto fingerprint = AcceptFingerprint(f.smtpFingerprint);
  if (!fingerprint) {
    env_.prompt.ask(Error(kBadFingerprint));
    return false;
  }
  if (c.SMTP_AUTH != config::OauthMechanism::kNone && TlsModeOfChoice(f.smtpTls) == config::TlsMode::kNone) {
    env_.prompt.ask(Error(kSmtpOauthWithoutTls));
    return false;
  }
  c.SMTP_TLS = TlsModeOfChoice(f.smtpTls);
  c.SMTP_TLS_FINGERPRINT = *fingerprint;
  c.TLS_CA_FILE = Cut(f.caFile, config::limits::kPath - 1);
  c.TLS_CA_FILE.erase(0, std::min(c.TLS_CA_FILE.find_first_not_of(' '), c.TLS_CA_FILE.size()));
  const std::uint32_t port = ReadOr(Squeezed(f.smtpPort, 9), 0);
  c.SMTPSport = static_cast<std::uint16_t>(port < 1 || port > config::limits::kProviderPort ? config::defaults::kSmtpPort : port);
  c.UseLAN = f.useLan;
  c.DialupAutoOff = f.autoOff;
  c.DialUpRecord = Cut(f.dialUpRecord, config::limits::kDialUpRecord);
  c.SMTPServer = Squeezed(f.smtpServer, 63);
  if (c.SMTPServer.empty()) c.SMTPServer = "127.0.0.1";
  // A field without a number keeps the attempts as they were, within the range.
  const std::uint32_t attempts = ReadOr(Cut(f.attempts, 18), static_cast<std::uint32_t>(c.DialupAttempts));
  c.DialupAttempts = static_cast<std::int32_t>(std::clamp<std::uint32_t>(attempts, kAttemptsLow, kAttemptsHigh));
  return working_.save();
}

AccountDialog::AccountDialog(WorkingConfiguration& working, int index) : working_(working), index_(index) {
  const config::Configuration& c = working_.get();
  if (index_ < -1 || index_ >= static_cast<int>(c.accounts.size())) index_ = -1;
  choices_.push_back(kSorterChoice);
  for (const config::LocalUser& user : c.users) {
    if (!platform::EqualsIgnoreAsciiCase(user.name, c.Daemon)) choices_.push_back(user.name);
  }
}

const std::vector<std::string>& AccountDialog::TlsChoices(int proto) {
  static const std::vector<std::string> pop3 = {"Нет", "STLS (порт 110)", "SSL/TLS (порт 995)"};
  static const std::vector<std::string> imap = {"Нет", "STARTTLS (порт 143)", "SSL/TLS (порт 993)"};
  return ProtocolOfChoice(proto) == config::CollectProtocol::kImap ? imap : pop3;
}

const std::vector<std::string>& AccountDialog::AfterChoices() {
  static const std::vector<std::string> choices = {"удалять с сервера", "переносить в папку"};
  return choices;
}

const std::vector<std::string>& ProtocolChoices() {
  static const std::vector<std::string> choices = {"POP3", "IMAP"};
  return choices;
}

int ProtocolChoiceOf(config::CollectProtocol proto) { return proto == config::CollectProtocol::kImap ? 1 : 0; }

config::CollectProtocol ProtocolOfChoice(int choice) {
  return choice == 1 ? config::CollectProtocol::kImap : config::CollectProtocol::kPop3;
}

const UsualPorts& AccountUsualPorts(int proto) {
  static constexpr UsualPorts kImap = {config::defaults::kImapPort, config::defaults::kImapPort,
                                       config::defaults::kImapsPort};
  return ProtocolOfChoice(proto) == config::CollectProtocol::kImap ? kImap : kAccountUsualPorts;
}

std::string FolderFieldText(const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& folder : folders) text += (text.empty() ? "" : ", ") + FieldName(folder);
  return text;
}

std::optional<Message> ParseFolderField(std::string_view field, std::vector<std::string>& folders) {
  std::vector<std::string> names;
  while (!field.empty()) {
    const std::size_t comma = field.find(',');
    std::string name = NameOfField(field.substr(0, comma));
    field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
    if (name.empty() || std::find(names.begin(), names.end(), name) != names.end()) continue;
    if (name.size() > config::kMaxFolderName) return Error(FolderTooLongText(name));
    names.push_back(std::move(name));
  }
  if (names.size() > config::kMaxFolders) {
    return Error("Загружать можно не больше " + std::to_string(config::kMaxFolders) + " папок одного счета.");
  }
  folders = std::move(names);
  return std::nullopt;
}

const std::vector<std::string>& SmtpTlsChoices() {
  static const std::vector<std::string> choices = {"Нет", "STARTTLS (порт 587)", "SSL/TLS (порт 465)"};
  return choices;
}

AccountFields AccountDialog::opening() const {
  if (index_ < 0) return {"", "", "", "", std::to_string(config::defaults::kPop3Port), false, 0, 0, "", 0, ""};
  const config::ProviderAccount& a = working_.get().accounts[index_];
  AccountFields f{a.server,         a.login,     a.password, a.password,         std::to_string(a.port), a.useApop != 0,
                  -1,               TlsChoiceOf(a.tls), a.fingerprint, LoginChoiceOf(a.auth), a.oauth};
  f.keep = a.keepDays > 0 ? std::to_string(a.keepDays) : std::string();
  f.keepForever = a.keepDays == config::kKeepForever;
  f.maxSize = a.maxSizeKb != 0 ? std::to_string(a.maxSizeKb) : std::string();
  f.proto = ProtocolChoiceOf(a.proto);
  f.folders = FolderFieldText(a.folders);
  f.after = a.moveTo.empty() ? 0 : 1;
  f.moveTo = a.moveTo;
  f.idle = a.idle;
  if (a.deliverTo.starts_with('*')) {
    f.delivery = 0;
  } else {
    for (std::size_t i = 0; i < choices_.size(); ++i) {
      if (choices_[i].size() >= a.deliverTo.size() &&
          platform::EqualsIgnoreAsciiCase(std::string_view(choices_[i]).substr(0, a.deliverTo.size()), a.deliverTo)) {
        f.delivery = static_cast<int>(i);
        break;
      }
    }
  }
  return f;
}

std::vector<std::string> AccountDialog::platformChoices(const AccountFields& fields) const {
  return PlatformChoices(working_.get(), AcceptPlatformName(fields.oauth).value_or(std::string()));
}

void AccountDialog::ApplyProvider(int choice, AccountFields& f) {
  const config::ProviderPreset* preset = PresetOfChoice(choice);
  if (!preset) return;
  config::ProviderAccount a = LoginOfAccountFields(f);
  a.useApop = f.apop ? 1 : 0;
  a.fingerprint = f.fingerprint;
  config::ApplyPreset(*preset, a);
  f.server = a.server;
  f.port = std::to_string(a.port);
  f.tls = TlsChoiceOf(a.tls);
  f.fingerprint = a.fingerprint;
  f.apop = a.useApop != 0;
  f.auth = LoginChoiceOf(a.auth);
  f.oauth = a.oauth;
}

void AccountDialog::ApplyProtocol(int proto, AccountFields& f) {
  if (proto == f.proto || proto < 0 || proto >= static_cast<int>(ProtocolChoices().size())) return;
  const config::CollectProtocol from = ProtocolOfChoice(f.proto);
  const int preset = AccountProviderChoice(Squeezed(f.server, 63), from);
  f.proto = proto;
  if (ProtocolOfChoice(proto) != config::CollectProtocol::kImap) f.idle = false;  // push needs IMAP
  if (preset > 0 && !config::PresetHost(*PresetOfChoice(preset), ProtocolOfChoice(proto)).empty()) {
    return ApplyProvider(preset, f);  // the same provider's server for the other protocol
  }
  const config::TlsMode tls = TlsModeOfChoice(f.tls);
  const std::string port = Squeezed(f.port, 9);
  if (port.empty() || port == std::to_string(config::DefaultAccountPort(from, tls))) {
    f.port = std::to_string(config::DefaultAccountPort(ProtocolOfChoice(proto), tls));
  }
}

config::ProviderAccount LoginOfAccountFields(const AccountFields& f) {
  config::ProviderAccount a;
  a.server = Squeezed(f.server, 63);
  a.login = Squeezed(f.login, config::limits::kAccountLogin);
  a.proto = ProtocolOfChoice(f.proto);
  a.tls = TlsModeOfChoice(f.tls);
  const std::uint32_t port = ReadOr(Cut(f.port, 9), 0);
  const std::uint32_t usual =
      a.proto == config::CollectProtocol::kImap ? config::DefaultAccountPort(a.proto, a.tls) : config::defaults::kPop3Port;
  a.port = port == 0 || port > config::limits::kProviderPort ? usual : port;
  a.auth = MechanismOfLoginChoice(f.auth);
  // A password login has no identity platform.
  if (a.auth != config::OauthMechanism::kNone) a.oauth = AcceptPlatformName(f.oauth).value_or(std::string());
  return a;
}

InnerOutcome AccountDialog::ok(const AccountFields& f, Prompt& prompt) {
  config::ProviderAccount a = LoginOfAccountFields(f);
  // APOP is a POP3 password login: an OAuth or IMAP account never uses it.
  a.useApop = f.apop && a.auth == config::OauthMechanism::kNone && a.proto == config::CollectProtocol::kPop3 ? 1 : 0;
  // No entry selected (its user is gone from the table): the sorter takes the mail.
  const bool chosen = f.delivery >= 0 && static_cast<std::size_t>(f.delivery) < choices_.size();
  a.deliverTo = !chosen || choices_[f.delivery].starts_with('*') ? "*" : choices_[f.delivery];
  // An OAuth account logs in with a token: its password may stay empty.
  a.password = Squeezed(f.password, config::limits::kStoredAccountPassword);
  const std::string repeat = Squeezed(f.repeat, config::limits::kStoredAccountPassword);
  if (a.password != repeat || a.server.empty() || a.login.empty()) {
    return prompt.ask(MissingParametersQuestion(Icon::kError)) ? InnerOutcome::kEditAgain : InnerOutcome::kCancelled;
  }
  const auto fingerprint = AcceptFingerprint(f.fingerprint);
  if (!fingerprint) {
    prompt.ask(Error(kBadFingerprint));
    return InnerOutcome::kEditAgain;
  }
  a.fingerprint = *fingerprint;
  if (const auto refused = TakeLeftAtProvider(f, a)) {
    prompt.ask(*refused);
    return InnerOutcome::kEditAgain;
  }
  if (const auto refused = TakeImapFields(f, a)) {
    prompt.ask(*refused);
    return InnerOutcome::kEditAgain;
  }
  if (a.auth != config::OauthMechanism::kNone && !AcceptPlatformName(f.oauth)) {
    prompt.ask(Error(kBadPlatformName));
    return InnerOutcome::kEditAgain;
  }
  if (const auto problem = OauthLoginProblem(a.auth, a.tls, kAccountOauthWithoutTls, a.oauth, a.server)) {
    prompt.ask(*problem);
    return InnerOutcome::kEditAgain;
  }
  if (a.idle && a.proto == config::CollectProtocol::kImap && !working_.get().UseLAN) {
    prompt.ask({"Мгновенная доставка (IDLE) работает только при подключении через локальную сеть: пока выбран "
                "дозвон, почта этого счета загружается в сеансах связи.",
                "Внимание", Buttons::kOk, Icon::kWarning});
  }
  auto& accounts = working_.get().accounts;
  if (index_ < 0) {
    accounts.push_back(a);
  } else {
    // Words of a later version (or typos) stay on the line: the dialog shows only what it knows.
    a.unknownWords = accounts[index_].unknownWords;
    accounts[index_] = a;
  }
  working_.publish();
  return InnerOutcome::kAccepted;
}

SmtpLoginFields SmtpLoginOpening(const config::Configuration& c) {
  return {c.SMTP_LOGIN_NAME, c.SMTP_LOGIN_PASS, c.SMTP_LOGIN_PASS, c.SMTP_USES_LOGIN, LoginChoiceOf(c.SMTP_AUTH),
          c.SMTP_OAUTH};
}

void ApplySmtpProvider(int choice, SmtpServerFields& server, SmtpLoginFields& login) {
  const config::ProviderPreset* preset = PresetOfChoice(choice);
  if (!preset) return;
  config::Configuration c;
  c.SMTPServer = server.server;
  c.SMTP_TLS = TlsModeOfChoice(server.tls);
  c.SMTP_TLS_FINGERPRINT = server.fingerprint;
  c.SMTP_USES_LOGIN = login.enabled;
  c.SMTP_AUTH = MechanismOfLoginChoice(login.auth);
  c.SMTP_OAUTH = login.oauth;
  config::ApplyPreset(*preset, c);
  server = {c.SMTPServer, std::to_string(c.SMTPSport), TlsChoiceOf(c.SMTP_TLS), c.SMTP_TLS_FINGERPRINT};
  login.enabled = c.SMTP_USES_LOGIN;
  login.auth = LoginChoiceOf(c.SMTP_AUTH);
  login.oauth = c.SMTP_OAUTH;
}

InnerOutcome AcceptSmtpLogin(WorkingConfiguration& working, const SmtpLoginFields& f, const SmtpServerFields& server,
                             Prompt& prompt) {
  config::Configuration& c = working.get();
  if (!f.enabled) {
    c.SMTP_LOGIN_NAME.clear();
    c.SMTP_LOGIN_PASS.clear();
    c.SMTP_AUTH = config::OauthMechanism::kNone;  // the client would log in with a token otherwise
    c.SMTP_OAUTH.clear();
  } else {
    const std::string name = Cut(f.name, 63);
    // An OAuth login sends a token: its password may stay empty.
    const std::string password = Cut(f.password, config::limits::kStoredSmtpPassword);
    if (password != Cut(f.repeat, config::limits::kStoredSmtpPassword) || name.empty()) {
      return prompt.ask(MissingParametersQuestion(Icon::kError)) ? InnerOutcome::kEditAgain : InnerOutcome::kCancelled;
    }
    const config::OauthMechanism auth = MechanismOfLoginChoice(f.auth);
    const std::optional<std::string> platform = AcceptPlatformName(f.oauth);
    if (auth != config::OauthMechanism::kNone && !platform) {
      prompt.ask(Error(kBadPlatformName));
      return InnerOutcome::kEditAgain;
    }
    const std::string oauth = auth == config::OauthMechanism::kNone ? std::string() : *platform;
    if (const auto problem = OauthLoginProblem(auth, TlsModeOfChoice(server.tls), kSmtpOauthWithoutTls, oauth,
                                               Squeezed(server.server, 63))) {
      prompt.ask(*problem);
      return InnerOutcome::kEditAgain;
    }
    c.SMTP_LOGIN_NAME = name;
    c.SMTP_LOGIN_PASS = password;
    c.SMTP_AUTH = auth;
    c.SMTP_OAUTH = oauth;
  }
  c.SMTP_USES_LOGIN = f.enabled;
  working.publish();
  return InnerOutcome::kAccepted;
}

std::optional<std::string> AcceptPhoneNumber(std::string_view field) {
  if (field.empty()) return std::nullopt;
  return Cut(field, config::limits::kPhoneNumber);
}

}  // namespace quelma::dialogs
