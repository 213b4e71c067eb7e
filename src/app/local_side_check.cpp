// The local side of the settings check: ports, folders, disk space, users, relay networks,
// local domain, dial-up entry.
#include "app/local_side_check.h"

#include <algorithm>

#include "link/activity_log.h"
#include "serving/server_thread.h"
#include "config/list_setting.h"
#include "net/address_ranges.h"
#include "net/listener.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/unique_tick.h"

namespace quelma::app {
namespace {

// Winsock's numbers, as platform::LastSocketError reports them everywhere.
constexpr int kAccessDenied = 10013;
constexpr int kAddressNotAvailable = 10049;

std::string Megabytes(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " МБ"; }

// Whether the port can be opened on every listening address (a list the servers refuse is
// checked before); the socket error otherwise.
std::optional<int> PortTakenError(const config::Configuration& config, std::uint16_t port) {
  const auto listen = config::ReadListenAddresses(config.LISTEN_ADDRESSES);
  if (!listen) return std::nullopt;
  net::Listener listener;
  for (const platform::IpAddress& address : listen->addresses) {
    if (listener.open(address, port, 1) != net::ListenFailure::kNone) {
      const int error = platform::LastSocketError();
      if (listen->every && address.v6) continue;  // a machine without IPv6 listens on IPv4 alone
      listener.close();
      return error;
    }
  }
  listener.close();
  return std::nullopt;
}

void CheckPort(CheckSteps& steps, const config::Configuration& config, const LocalCheckContext& context,
               const std::string& what, std::int32_t port, const std::string& setting) {
  const std::string name = "Порт " + what + " " + std::to_string(port);
  const std::string mend = NameMend(context.mend, Mend::kServersSetting, setting);
  if (const auto problem = config::ListenAddressesProblem(config.LISTEN_ADDRESSES)) {
    return steps.fail(name, "LISTEN_ADDRESSES: " + *problem + " Сервер не откроет порт",
                      "Исправьте адреса " + NameMend(context.mend, Mend::kServersSetting, "LISTEN_ADDRESSES") +
                          ": IP-адреса через запятую или * для всех.");
  }
  if (port <= 0 || port > config::limits::kPort) {
    return steps.fail(name, "номер порта вне 1-" + std::to_string(config::limits::kPort), "Задайте правильный номер порта " + mend + ".");
  }
  if (!platform::InitSocketLibrary()) return steps.fail(name, "библиотека сокетов не запускается", "Перезапустите компьютер.");
  const std::optional<int> error = PortTakenError(config, static_cast<std::uint16_t>(port));
  const std::string where = config.LISTEN_ADDRESSES == "*" ? std::string() : " (адреса " + config.LISTEN_ADDRESSES + ")";
  if (!error) return steps.pass(name, "свободен" + where);
  if (context.programRunning && context.programRunning()) {
    return steps.pass(name, "занят работающей программой quelma этого каталога" + where);
  }
  const std::string seen = "не открывается" + where + ": " + link::WinsockErrorName(*error);
  // This command, run by hand, lacks the right the service has: whether the port is free it
  // cannot tell, and it does not call that a failure.
  if (*error == kAccessDenied && platform::kLowPortsArePrivileged && port < 1024) {
    return steps.warn(name, seen + " (порт ниже 1024, а у этой команды нет права его открыть)",
                      "Служба quelma его откроет (systemd дает ей CAP_NET_BIND_SERVICE); программе, запущенной "
                      "вручную, нужен root или порт выше 1024 (" + mend + "). Не занят ли он другой программой, "
                      "покажет \"ss -ltnp\".");
  }
  if (*error == kAccessDenied) {
    return steps.fail(name, seen,
                      "Порт занят другой программой, не дающей его открыть: остановите ее (найти ее: \"netstat -ano\") "
                      "или задайте другой порт " + mend + ".");
  }
  if (*error == kAddressNotAvailable) {
    return steps.fail(name, seen,
                      "Адреса из LISTEN_ADDRESSES нет на этом компьютере: исправьте адреса " +
                          NameMend(context.mend, Mend::kServersSetting, "LISTEN_ADDRESSES") + ".");
  }
  steps.fail(name, seen,
             "Порт занят другой программой (другой почтовый сервер?): остановите ее (найти ее: \"ss -ltnp\" в Linux, "
             "\"netstat -ano\" в Windows) или задайте другой порт " + mend + ".");
}

// "/a/b/" -> "/a/" (a folder's name ends with the separator).
std::string ParentFolder(const std::string& folder) {
  const std::size_t end = folder.find_last_not_of("/\\");
  if (end == std::string::npos) return folder;
  const std::size_t cut = folder.find_last_of("/\\", end);
  return cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
}

// `setting` is the folder's quelma.cfg key, empty for the program's own folder.
void CheckFolder(CheckSteps& steps, const LocalCheckContext& context, const std::string& what, const std::string& folder,
                 const std::string& setting) {
  const std::string name = "Папка " + what;
  if (!platform::IsDirectory(folder)) {
    // Before the first start (a fresh install) the program has not made it yet.
    if (platform::IsDirectory(ParentFolder(folder))) {
      return steps.warn(name, folder + ": папки еще нет",
                        "Программа создаст ее при запуске; если после запуска ее нет, проверьте права на " +
                            ParentFolder(folder) + ".");
    }
    return steps.fail(name, folder + ": папки нет, нет и " + ParentFolder(folder),
                      setting.empty() ? std::string("Создайте эти папки.")
                                      : "Исправьте путь " + NameMend(context.mend, Mend::kServersSetting, setting) +
                                            " или создайте эти папки.");
  }
  const std::string probe = folder + "quelma-check-" + std::to_string(platform::ProcessUniqueTicks().next()) + ".tmp";
  auto file = platform::OutputFile::Create(probe, platform::CreateMode::kExclusive);
  const bool written = file && file->write("check") && file->close();
  const std::string error = written ? std::string() : platform::LastFileErrorText();
  if (file) platform::RemoveFile(probe);
  if (!written) {
    return steps.fail(name, folder + ": запись невозможна (" + error + ")",
                      "Дайте пользователю, от имени которого работает программа, право записи в эту папку.");
  }
  if (platform::FileExists(probe)) {
    return steps.fail(name, folder + ": пробный файл не удаляется", "Проверьте права на удаление файлов в этой папке.");
  }
  steps.pass(name, folder + ": запись и удаление работают");
}

void CheckDiskSpace(CheckSteps& steps, const LocalCheckContext& context, const std::vector<std::string>& folders) {
  std::optional<std::uint64_t> least;
  std::string where;
  for (const std::string& folder : folders) {
    const std::optional<std::uint64_t> free = context.freeBytes ? context.freeBytes(folder) : std::nullopt;
    if (free && (!least || *free < *least)) {
      least = free;
      where = folder;
    }
  }
  const char* name = "Место на диске";
  if (!least) return steps.warn(name, "система не сообщает, сколько места свободно", "Проверьте место на диске сами.");
  const std::string detail = "свободно " + Megabytes(*least) + " (" + where + ")";
  if (*least < kDiskFailureBytes) {
    return steps.fail(name, detail, "Меньше " + Megabytes(kDiskFailureBytes) +
                                        ": почту скоро негде будет хранить. Освободите место на этом диске.");
  }
  if (*least < kDiskWarningBytes) {
    return steps.warn(name, detail, "Меньше " + Megabytes(kDiskWarningBytes) + ": освободите место на этом диске.");
  }
  steps.pass(name, detail);
}

// Whether mail programs of other computers can reach the servers at all.
bool ListensBeyondLoopback(const config::Configuration& config) {
  const auto listen = config::ReadListenAddresses(config.LISTEN_ADDRESSES);
  if (!listen) return false;  // the servers open no port on a list they refuse
  return listen->every || std::any_of(listen->addresses.begin(), listen->addresses.end(), [](const platform::IpAddress& a) {
           const bool loopback = a.v6 ? a == *platform::ParseIpAddress("::1") : a.bytes[0] == 127;
           return !loopback;
         });
}

// A user without a password logs in only from this computer: a failure while other computers
// can reach the servers (their mail programs cannot collect that mail), the daemon aside, which
// never logs in.
void CheckUsers(CheckSteps& steps, const config::Configuration& config, const LocalCheckContext& context) {
  const bool reachable = ListensBeyondLoopback(config);
  bool any = false;
  for (const config::LocalUser& user : config.users) {
    if (!user.password.empty() || platform::EqualsIgnoreAsciiCase(user.name, config.Daemon)) continue;
    any = true;
    const std::string mend = "Задайте пароль " + NameMend(context.mend, Mend::kUserPassword, user.name) + ".";
    if (reachable) {
      steps.fail("Пользователь " + user.name, "пароля нет: с других компьютеров он не войдет", mend);
    } else {
      steps.warn("Пользователь " + user.name, "пароля нет: войти можно только с этого компьютера", mend);
    }
  }
  if (!any) steps.pass("Пароли пользователей", std::to_string(config.users.size()) + " пользователей, у всех есть пароль");
}

// Passwords in clear refused for other computers while there is no TLS to send them over: those
// computers' mail programs can log in only with APOP (POP3) or CRAM-MD5 (IMAP).
void CheckPlaintextLogin(CheckSteps& steps, const config::Configuration& config) {
  const config::PlaintextLogin rule = config::EffectivePlaintextLogin(config);
  const std::string shown = "PLAINTEXT_LOGIN = " + std::string(config::PlaintextLoginName(rule));
  if (rule != config::PlaintextLogin::kYes && !config::LocalTlsConfigured(config) && ListensBeyondLoopback(config)) {
    return steps.warn("Пароли открытым текстом", shown + " без сертификата TLS: с других компьютеров войти можно только через APOP (POP3) или CRAM-MD5 (IMAP)",
                      "Задайте сертификат и ключ TLS (TLS_CERT_FILE, TLS_KEY_FILE) или PLAINTEXT_LOGIN = YES.");
  }
  steps.pass("Пароли открытым текстом", shown);
}

void CheckRelayNetworks(CheckSteps& steps, const config::Configuration& config, const LocalCheckContext& context) {
  const char* name = "Сети для пересылки";
  const std::string mend = NameMend(context.mend, Mend::kServersSetting, "RELAY_NETWORKS");
  const std::string shown = "RELAY_NETWORKS = " + (config.RELAY_NETWORKS.empty() ? std::string("(пусто)") : config.RELAY_NETWORKS);
  const auto ranges = net::ParseAddressRanges(config::ListItems(config.RELAY_NETWORKS));
  if (!ranges) {
    return steps.fail(name, shown + ": не читается",
                      "Исправьте сети " + mend + ": сети через запятую, вида 192.168.1.0/24.");
  }
  const auto privateRanges = net::ParseAddressRanges(config::ListItems(config::defaults::kRelayNetworks));
  std::vector<std::string> open, wide;
  for (const net::AddressRange& range : *ranges) {
    const std::string text = range.base.toString() + "/" + std::to_string(range.prefix);
    if (range.prefix == 0) {
      open.push_back(text);
      continue;
    }
    const bool inside = std::any_of(privateRanges->begin(), privateRanges->end(), [&range](const net::AddressRange& p) {
      return p.base.v6 == range.base.v6 && range.prefix >= p.prefix && net::InRanges({p}, range.base);
    });
    if (!inside) wide.push_back(text);
  }
  if (!open.empty()) {
    return steps.fail(name, shown,
                      "Сеть " + open.front() + " - это весь Интернет: программа станет открытым ретранслятором "
                      "спама. Оставьте в сетях для пересылки только сети офиса (" + mend + ").");
  }
  if (!wide.empty()) {
    std::string list;
    for (const std::string& w : wide) list += (list.empty() ? "" : ", ") + w;
    return steps.warn(name, shown, "Сети " + list + " шире частных сетей офиса: через программу смогут отправлять "
                                   "почту чужие компьютеры. Проверьте сети " + mend + ".");
  }
  steps.pass(name, shown);
}

void CheckConnection(CheckSteps& steps, const config::Configuration& config, const LocalCheckContext& context) {
  const char* name = "Связь с провайдером";
  if (config.UseLAN) return steps.pass(name, "через локальную сеть (UseLAN = YES)");
  if (config.DialUpRecord.empty()) {
    return steps.fail(name, "задан дозвон (UseLAN = NO), но соединение не выбрано",
                      "Выберите соединение удаленного доступа " + NameMend(context.mend, Mend::kDialUpEntry) +
                          " или включите связь через локальную сеть (UseLAN = YES).");
  }
  const std::vector<std::string> entries = context.dialUpEntries ? context.dialUpEntries() : std::vector<std::string>{};
  if (std::find(entries.begin(), entries.end(), config.DialUpRecord) == entries.end()) {
    std::string list;
    for (const std::string& e : entries) list += (list.empty() ? "" : ", ") + e;
    return steps.fail(name, "соединения \"" + config.DialUpRecord + "\" нет (есть: " + (list.empty() ? "никаких" : list) + ")",
                      "Выберите существующее соединение " + NameMend(context.mend, Mend::kDialUpEntry) + ".");
  }
  steps.pass(name, "дозвон через \"" + config.DialUpRecord + "\"");
}

// Loaded as the servers load them at their start: a pair they cannot use keeps the TLS ports
// closed and STLS/STARTTLS unoffered.
void CheckTlsCertificate(CheckSteps& steps, const config::Configuration& config) {
  const char* name = "Сертификат TLS";
  const char* hint = "Укажите в TLS_CERT_FILE сертификат сервера (PEM, с цепочкой издателей), а в TLS_KEY_FILE его "
                     "закрытый ключ без пароля. Пока этого нет, серверы работают без TLS.";
  const bool tlsPort = config.POP3_SRV_TLS_PORT != 0 || config.SMTP_SRV_TLS_PORT != 0 ||
                       (config.IMAP_SRV_PORT != 0 && config.IMAP_SRV_TLS_PORT != 0);
  if (config.TLS_CERT_FILE.empty() != config.TLS_KEY_FILE.empty()) {
    return steps.fail(name, config.TLS_CERT_FILE.empty() ? "TLS_KEY_FILE задан без TLS_CERT_FILE"
                                                         : "TLS_CERT_FILE задан без TLS_KEY_FILE", hint);
  }
  if (!config::LocalTlsConfigured(config)) {
    if (tlsPort) return steps.fail(name, "порт TLS задан, а сертификат и ключ нет", hint);
    return;  // TLS is off, as it is by default
  }
  net::CredentialsError error;
  if (!net::TlsServerCredentials::Load(config.TLS_CERT_FILE, config.TLS_KEY_FILE, error)) {
    return steps.fail(name, net::CredentialsProblemText(error), hint);
  }
  steps.pass(name, "\"" + config.TLS_CERT_FILE + "\" и ключ \"" + config.TLS_KEY_FILE + "\" годятся");
}

// A key or an account word this build does not know is most likely a typo: it is kept in the
// file but does nothing.
void CheckUnknownSettings(CheckSteps& steps, const config::Configuration& config) {
  const char* hint = "Программа не знает такого параметра и не использует его (опечатка? или он от более новой версии). "
                     "Исправьте написание в quelma.cfg или удалите строку; при сохранении настроек он остается как есть.";
  for (const config::UnknownParameter& unknown : config.unknownParameters) {
    const std::string key = unknown.line.substr(0, unknown.line.find_first_of(" \t="));
    steps.warn("Параметр " + key, "quelma.cfg: неизвестный параметр: " + unknown.line, hint);
  }
  for (std::size_t i = 0; i < config.accounts.size(); ++i) {
    for (const std::string& word : config.accounts[i].unknownWords) {
      steps.warn("Счет " + std::to_string(i), "quelma.cfg: неизвестное слово в строке счета: " + word,
                 "Программа знает в строке счета только tls=, fingerprint=, auth=, oauth=, keep=, maxsize=, proto=, "
                 "folders=, after= и idle= (опечатка? "
                 "или слово от более новой версии). Исправьте строку в quelma.cfg.");
    }
  }
}

// Push keeps a connection open over the office network to an IMAP server: on a POP3 account or
// with dial-up, idle=yes does nothing.
void CheckPush(CheckSteps& steps, const config::Configuration& config, const LocalCheckContext& context) {
  for (std::size_t i = 0; i < config.accounts.size(); ++i) {
    const config::ProviderAccount& a = config.accounts[i];
    if (!a.idle) continue;
    const std::string name = "Мгновенная доставка, счет " + std::to_string(i);
    if (a.proto != config::CollectProtocol::kImap) {
      steps.warn(name, "idle=yes у счета POP3: мгновенная доставка возможна только по IMAP",
                 "Переведите счет на IMAP или выключите для него мгновенную доставку " +
                     NameMend(context.mend, Mend::kAccountProtocol, std::to_string(i)) +
                     "; пока почта счета загружается в сеансах связи.");
    } else if (!config.UseLAN) {
      steps.warn(name, "idle=yes, а связь через дозвон (UseLAN = NO): соединение для IDLE не открывается",
                 "Мгновенная доставка работает только при подключении через локальную сеть (UseLAN = YES); пока "
                 "почта счета загружается в сеансах связи.");
    } else {
      steps.pass(name, "IDLE на папке " + config::CollectedFolders(a).front());
    }
  }
}

}  // namespace

CheckTarget CheckLocalSide(const config::Configuration& config, const LocalCheckContext& context) {
  CheckTarget target{"Эта машина: " + context.programDir, {}};
  CheckSteps steps(target);
  CheckPort(steps, config, context, "SMTP", config.SMTP_SRV_PORT, "SMTP_SRV_PORT");
  CheckPort(steps, config, context, "POP3", config.POP3_SRV_PORT, "POP3_SRV_PORT");
  // IMAP_SRV_PORT 0 is the IMAP server off: no port of its own to check, TLS port included.
  const bool imapOn = config.IMAP_SRV_PORT != 0;
  if (imapOn) CheckPort(steps, config, context, "IMAP", config.IMAP_SRV_PORT, "IMAP_SRV_PORT");
  if (config::LocalTlsConfigured(config)) {
    if (config.SMTP_SRV_TLS_PORT != 0) CheckPort(steps, config, context, "SMTP (TLS)", config.SMTP_SRV_TLS_PORT, "SMTP_SRV_TLS_PORT");
    if (config.POP3_SRV_TLS_PORT != 0) CheckPort(steps, config, context, "POP3 (TLS)", config.POP3_SRV_TLS_PORT, "POP3_SRV_TLS_PORT");
    if (imapOn && config.IMAP_SRV_TLS_PORT != 0) {
      CheckPort(steps, config, context, "IMAP (TLS)", config.IMAP_SRV_TLS_PORT, "IMAP_SRV_TLS_PORT");
    }
  }
  CheckTlsCertificate(steps, config);
  CheckFolder(steps, context, "почтовых ящиков", config.MailDropDir, "MailDropDir");
  CheckFolder(steps, context, "очереди", config.QueueDir, "QueueDir");
  CheckFolder(steps, context, "программы", context.programDir, "");
  CheckDiskSpace(steps, context, {config.MailDropDir, config.QueueDir, context.programDir});
  if (config.LocalDomain.empty()) {
    steps.fail("Локальный домен", "LocalDomain не задан",
               "Задайте локальный домен (домен почты офиса) " + NameMend(context.mend, Mend::kServersSetting, "LocalDomain") +
                   ": без него сервер не знает, какая почта своя.");
  } else {
    steps.pass("Локальный домен", config.LocalDomain);
  }
  CheckUsers(steps, config, context);
  CheckPlaintextLogin(steps, config);
  CheckRelayNetworks(steps, config, context);
  CheckConnection(steps, config, context);
  CheckPush(steps, config, context);
  CheckUnknownSettings(steps, config);
  return target;
}

}  // namespace quelma::app
