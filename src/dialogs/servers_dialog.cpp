#include "dialogs/servers_dialog.h"

#include "config/list_setting.h"
#include "dialogs/dialog_text.h"
#include "net/address_ranges.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sorting/sorter_rules.h"

namespace quelma::dialogs {

namespace {

void LowerAsciiLetters(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

Message Error(std::string text) { return {std::move(text), "Ошибка", Buttons::kOk, Icon::kError}; }

// A port or time-out field: its number when it lies in [low, high].
std::optional<std::uint32_t> InRange(std::string_view field, std::uint32_t low, std::uint32_t high) {
  const auto value = ReadDecimal(Squeezed(field, 9));
  if (!value || *value < low || *value > high) return std::nullopt;
  return value;
}

// A file name field: cut to what a path holds, leading and trailing blanks dropped.
std::string TrimmedPath(std::string_view field) {
  std::string path = Cut(field, config::limits::kPath - 1);
  path.erase(0, std::min(path.find_first_not_of(' '), path.size()));
  while (!path.empty() && path.back() == ' ') path.pop_back();
  return path;
}

}  // namespace

std::optional<config::LocalUser> AcceptUserFields(std::string_view name, std::string_view password,
                                                  std::string_view alias) {
  config::LocalUser user{Squeezed(name, 30), Squeezed(password, 30), Squeezed(alias, 64)};
  if (user.name.empty()) return std::nullopt;
  // What a user record keeps; the fields are limited to these lengths, so nothing typed is lost.
  user.name = Cut(user.name, kUserNameField);
  user.password = Cut(user.password, kUserPasswordField);
  user.alias = Cut(user.alias, kUserAliasField);
  LowerAsciiLetters(user.name);
  LowerAsciiLetters(user.password);
  LowerAsciiLetters(user.alias);
  return user;
}

std::optional<std::string> AcceptFolder(std::string_view field,
                                        const std::function<bool(const std::string&)>& isDirectory) {
  std::string folder = Cut(field, 259);
  folder.erase(0, std::min(folder.find_first_not_of(' '), folder.size()));
  if (folder.empty()) return std::nullopt;
  constexpr char kSeparator = platform::kPathSeparator;
  if (folder.size() > 1 && folder.back() == kSeparator && folder[folder.size() - 2] != ':') folder.pop_back();
  if (folder.back() == ':') folder += kSeparator;
  if (!isDirectory(folder)) return std::nullopt;
  if (folder.back() != kSeparator) folder += kSeparator;
  return folder;
}

std::optional<std::string> UserPasswordProblem(std::string_view password) {
  if (password.size() > kUserPasswordField) {
    return "Пароль длиннее " + std::to_string(kUserPasswordField) +
           " символов: почтовая программа не сможет войти с ним на POP3 сервер.\nПароль не сохранен.";
  }
  for (char ch : password) {
    const bool letterOrDigit = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    if (!letterOrDigit) {
      return "Пароль может состоять только из латинских букв и цифр: с символом \"" + std::string(1, ch) +
             "\" почтовая программа не сможет войти на POP3 сервер.\nПароль не сохранен.";
    }
  }
  return std::nullopt;
}

int PlaintextLoginChoice(config::PlaintextLogin value) {
  switch (value) {
    case config::PlaintextLogin::kLocal: return 1;
    case config::PlaintextLogin::kNo: return 2;
    default: return 0;
  }
}

config::PlaintextLogin PlaintextLoginOfChoice(int choice) {
  return choice == 1 ? config::PlaintextLogin::kLocal : choice == 2 ? config::PlaintextLogin::kNo : config::PlaintextLogin::kYes;
}

std::optional<std::string> NoPasswordWarning(const config::Configuration& config, const config::LocalUser& user) {
  if (!user.password.empty() || platform::EqualsIgnoreAsciiCase(user.name, config.Daemon)) return std::nullopt;
  return "У пользователя \"" + user.name + "\" нет пароля: забирать почту он сможет только с этого компьютера.";
}

namespace {

// "*", or addresses the system can read, separated by commas.
}  // namespace

bool ServersDialog::is(const std::string& role, int index) const {
  return valid(index) && platform::EqualsIgnoreAsciiCase(working_.get().users[index].name, role);
}

ServersFields ServersDialog::fields() const {
  const config::Configuration& c = working_.get();
  return {c.MailDropDir,
          c.QueueDir,
          c.LocalDomain,
          std::to_string(c.LogFileSize),
          std::to_string(static_cast<std::uint32_t>(c.POP3_SRV_PORT)),
          std::to_string(static_cast<std::uint32_t>(c.SMTP_SRV_PORT)),
          std::to_string(c.SERVERS_TIMEOUT),
          c.TLS_CERT_FILE,
          c.TLS_KEY_FILE,
          std::to_string(static_cast<std::uint32_t>(c.POP3_SRV_TLS_PORT)),
          std::to_string(static_cast<std::uint32_t>(c.SMTP_SRV_TLS_PORT)),
          c.SMTP_EHLO,
          std::to_string(c.MAX_SESSIONS),
          c.LISTEN_ADDRESSES,
          c.RELAY_NETWORKS,
          std::to_string(c.AUTH_FAIL_LIMIT),
          static_cast<int>(c.SMTP_SRV_AUTH),
          PlaintextLoginChoice(config::EffectivePlaintextLogin(c)),
          false,
          std::to_string(static_cast<std::uint32_t>(c.IMAP_SRV_PORT)),
          std::to_string(static_cast<std::uint32_t>(c.IMAP_SRV_TLS_PORT)),
          std::to_string(c.ALERT_DISK_MB),
          std::to_string(c.ALERT_FAIL_HOURS),
          std::to_string(c.ALERT_QUEUE_HOURS)};
}

std::vector<UserRow> UserRows(const config::Configuration& c) {
  std::vector<UserRow> rows;
  for (const config::LocalUser& user : c.users) {
    std::string role;
    if (platform::EqualsIgnoreAsciiCase(user.name, c.PostMaster)) role = "(ПОСТМАСТЕР)";
    if (!c.Boss.empty() && platform::EqualsIgnoreAsciiCase(user.name, c.Boss)) role += "[BOSS]";
    if (role.empty() && platform::EqualsIgnoreAsciiCase(user.name, c.Daemon)) role = "(ДЕМОН)";
    rows.push_back({user.name, user.password, user.alias, role});
  }
  return rows;
}

void ServersDialog::add(const config::LocalUser& user) {
  if (!canAdd()) return;
  if (config::FindLocalUser(working_.get(), user.name) >= 0) {
    env_.prompt.ask(Error("Пользователь \"" + user.name + "\" уже существует.\nВ список не добавлен."));
    return;
  }
  working_.get().users.push_back(user);
  working_.publish();
  warnWithoutPassword(user);
}

void ServersDialog::warnWithoutPassword(const config::LocalUser& user) {
  if (const auto warning = NoPasswordWarning(working_.get(), user)) {
    env_.prompt.ask({*warning, "Внимание", Buttons::kOk, Icon::kWarning});
  }
}

void ServersDialog::edit(int index, const config::LocalUser& user) {
  if (!valid(index)) return;
  config::Configuration& c = working_.get();
  // A rename onto another user's name would leave two users that no login can tell apart.
  if (const int other = config::FindLocalUser(c, user.name); other >= 0 && other != index) {
    env_.prompt.ask(Error("Пользователь \"" + user.name + "\" уже существует.\nИмя не изменено."));
    return;
  }
  const std::string old = c.users[index].name;
  if (platform::EqualsIgnoreAsciiCase(old, c.PostMaster)) {
    c.PostMaster = user.name;
  } else if (platform::EqualsIgnoreAsciiCase(old, c.Daemon)) {
    c.Daemon = user.name;
  }
  if (!c.Boss.empty() && platform::EqualsIgnoreAsciiCase(old, c.Boss)) c.Boss = user.name;
  c.users[index] = user;
  working_.publish();
  warnWithoutPassword(user);
}

void ServersDialog::remove(int index) {
  if (!valid(index)) return;
  config::Configuration& c = working_.get();
  if (is(c.PostMaster, index)) {
    env_.prompt.ask(Error("Удалять постмастера нельзя"));
    return;
  }
  if (is(c.Daemon, index)) {
    env_.prompt.ask(Error("Удалять демона нельзя"));
    return;
  }
  if (!env_.prompt.ask({"Удалить пользователя \"" + c.users[index].name + "\"?", "Удаление", Buttons::kYesNo})) return;
  if (!c.Boss.empty() && is(c.Boss, index)) c.Boss.clear();
  c.users.erase(c.users.begin() + index);
  working_.publish();
}

void ServersDialog::makePostmaster(int index) {
  if (!valid(index)) return;
  config::Configuration& c = working_.get();
  if (is(c.Daemon, index)) {
    env_.prompt.ask(Error("Демон не может быть постмастером"));
    return;
  }
  c.PostMaster = c.users[index].name;
  working_.publish();
}

void ServersDialog::makeDaemon(int index) {
  if (!valid(index)) return;
  config::Configuration& c = working_.get();
  if (is(c.PostMaster, index)) {
    env_.prompt.ask(Error("Постмастер не может быть демоном"));
    return;
  }
  c.Daemon = c.users[index].name;
  working_.publish();
}

void ServersDialog::makeBoss(int index) {
  config::Configuration& c = working_.get();
  c.Boss = valid(index) && !is(c.Daemon, index) ? c.users[index].name : std::string();
  working_.publish();
}

bool ServersDialog::ok(const ServersFields& f) {
  config::Configuration& c = working_.get();
  const std::string cert = TrimmedPath(f.certFile);
  const std::string key = TrimmedPath(f.keyFile);
  if (cert.empty() != key.empty()) {
    env_.prompt.ask(Error("Для TLS нужны оба файла: сертификат и его закрытый ключ (PEM)."));
    return false;
  }
  for (const std::string& file : {cert, key}) {
    if (!file.empty() && !platform::FileExists(file)) {
      env_.prompt.ask(Error("Файл \"" + file + "\" не найден."));
      return false;
    }
  }
  // Loaded as the servers will load them at their start, so that a pair they cannot use never
  // gets saved (the TLS ports would stay closed).
  if (net::CredentialsError error; !cert.empty() && !net::TlsServerCredentials::Load(cert, key, error)) {
    env_.prompt.ask(Error("Сертификат и ключ для TLS не годятся: " + net::CredentialsProblemText(error) + "."));
    return false;
  }
  const auto sessions = InRange(f.maxSessions, 1, static_cast<std::uint32_t>(config::limits::kMaxSessions));
  if (!sessions) {
    env_.prompt.ask(Error("Клиентов одновременно: от 1 до " + std::to_string(config::limits::kMaxSessions) + "."));
    return false;
  }
  const auto failLimit = InRange(f.authFailLimit, 0, static_cast<std::uint32_t>(config::limits::kMaxAuthFailLimit));
  if (!failLimit) {
    env_.prompt.ask(Error("Неудачных входов до блокировки: от 0 до " +
                          std::to_string(config::limits::kMaxAuthFailLimit) + "."));
    return false;
  }
  // An empty alert field keeps its value.
  auto alertValue = [](const std::string& field, std::int32_t now, std::int32_t high) {
    return field.empty() ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(now))
                         : InRange(field, 0, static_cast<std::uint32_t>(high));
  };
  const auto diskMb = alertValue(f.alertDiskMb, c.ALERT_DISK_MB, config::limits::kMaxAlertDiskMb);
  const auto failHours = alertValue(f.alertFailHours, c.ALERT_FAIL_HOURS, config::limits::kMaxAlertHours);
  const auto queueHours = alertValue(f.alertQueueHours, c.ALERT_QUEUE_HOURS, config::limits::kMaxAlertHours);
  if (!diskMb || !failHours || !queueHours) {
    env_.prompt.ask(Error("Предупреждения постмастеру: место на диске от 0 до " +
                          std::to_string(config::limits::kMaxAlertDiskMb) + " МБ, часы от 0 до " +
                          std::to_string(config::limits::kMaxAlertHours) + " (0 - не предупреждать)."));
    return false;
  }
  std::string listen = Squeezed(f.listenAddresses, 1000);
  if (listen.empty()) listen = config::defaults::kListenAddresses;
  if (const auto problem = config::ListenAddressesProblem(listen)) {
    env_.prompt.ask(Error("Адреса для соединений: " + *problem));
    return false;
  }
  const std::string relay = Squeezed(f.relayNetworks, 1000);
  if (!net::ParseAddressRanges(config::ListItems(relay))) {
    env_.prompt.ask(Error("Сети для отправки наружу: не понимаю \"" + relay +
                          "\". Пишите сети через запятую, например 192.168.1.0/24,10.0.0.5."));
    return false;
  }
  c.MAX_SESSIONS = static_cast<std::int32_t>(*sessions);
  c.AUTH_FAIL_LIMIT = static_cast<std::int32_t>(*failLimit);
  c.ALERT_DISK_MB = static_cast<std::int32_t>(*diskMb);
  c.ALERT_FAIL_HOURS = static_cast<std::int32_t>(*failHours);
  c.ALERT_QUEUE_HOURS = static_cast<std::int32_t>(*queueHours);
  c.LISTEN_ADDRESSES = listen;
  c.RELAY_NETWORKS = relay;
  c.SMTP_SRV_AUTH = f.smtpAuth == 2   ? config::SmtpServerAuth::kRequired
                    : f.smtpAuth == 1 ? config::SmtpServerAuth::kYes
                                      : config::SmtpServerAuth::kNo;
  // The clear-text rule follows the certificate while it is at its default and was left as shown.
  const config::PlaintextLogin shown = config::EffectivePlaintextLogin(c);
  c.TLS_CERT_FILE = cert;
  c.TLS_KEY_FILE = key;
  if (const auto chosen = PlaintextLoginOfChoice(f.plaintextLogin); f.plaintextLoginChosen || chosen != shown) {
    c.PLAINTEXT_LOGIN = chosen == config::DefaultPlaintextLogin(c) ? config::PlaintextLogin::kDefault : chosen;
  }
  // An empty field (or 0) turns the port off; a number out of range keeps the port as it was.
  constexpr auto kPort = static_cast<std::uint32_t>(config::limits::kPort);
  if (const auto port = InRange(f.pop3TlsPort.empty() ? "0" : f.pop3TlsPort, 0, kPort)) c.POP3_SRV_TLS_PORT = static_cast<std::int32_t>(*port);
  if (const auto port = InRange(f.smtpTlsPort.empty() ? "0" : f.smtpTlsPort, 0, kPort)) c.SMTP_SRV_TLS_PORT = static_cast<std::int32_t>(*port);
  if (const auto port = InRange(f.imapPort.empty() ? "0" : f.imapPort, 0, kPort)) c.IMAP_SRV_PORT = static_cast<std::int32_t>(*port);
  if (const auto port = InRange(f.imapTlsPort.empty() ? "0" : f.imapTlsPort, 0, kPort)) c.IMAP_SRV_TLS_PORT = static_cast<std::int32_t>(*port);
  c.SMTP_EHLO = f.ehlo;
  if (auto folder = AcceptFolder(f.mailDropDir, env_.isDirectory)) c.MailDropDir = *folder;
  if (auto folder = AcceptFolder(f.queueDir, env_.isDirectory)) c.QueueDir = *folder;
  c.LocalDomain = Squeezed(f.localDomain, 63);
  // An empty (or non-numeric) size keeps the size the log file has now.
  if (const auto size = ReadDecimal(Cut(f.logFileSize, 3))) c.LogFileSize = std::min(*size, config::limits::kLogFileKilobytes);
  if (const auto port = InRange(f.pop3Port, 1, kPort)) c.POP3_SRV_PORT = static_cast<std::int32_t>(*port);
  if (const auto port = InRange(f.smtpPort, 1, kPort)) c.SMTP_SRV_PORT = static_cast<std::int32_t>(*port);
  if (const auto timeout = InRange(f.timeout, config::limits::kShortestServersTimeoutMs, config::limits::kLongestServersTimeoutMs)) {
    c.SERVERS_TIMEOUT = *timeout;
  }
  sorting::CheckSorterRules(env_.sorter, c);
  return working_.save();
}

}  // namespace quelma::dialogs
