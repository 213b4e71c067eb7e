// Defaults, start values for loading, and the user lookup.
#include "config/configuration.h"

#include <algorithm>
#include <cctype>

#include "platform/paths.h"
#include "platform/text.h"

namespace quelma::config {

Configuration DefaultConfiguration(const std::string& programDir) {
  Configuration c;
  c.LogFileSize = defaults::kLogFileKilobytes;
  c.SchedulerRecord = {};
  c.Boss.clear();
  c.DialupPhoneNumber = {};
  c.DialUpRecord.clear();
  c.DialupAutoOff = false;
  c.DialupAttempts = 1;
  c.UseLAN = true;
  c.MailDropDir = programDir + "maildrop" + platform::kPathSeparator;
  c.QueueDir = programDir + "queue" + platform::kPathSeparator;
  c.SMTPSport = defaults::kSmtpPort;
  c.SMTPServer = "127.0.0.1";
  c.LocalDomain = "mydomain";
  c.PostMaster = "postmaster";
  c.Daemon = "daemon";
  c.users = {LocalUser{"postmaster", "", ""}, LocalUser{"daemon", "", ""}};
  c.UNDISCLOSED_MAIL_TO.clear();
  ProviderAccount account;
  account.server = "127.0.0.1";
  account.login = "postmaster";
  c.accounts = {account};
  c.POP3_SRV_PORT = defaults::kPop3Port;
  c.SMTP_SRV_PORT = defaults::kSmtpPort;
  c.SERVERS_TIMEOUT = defaults::kServersTimeoutMs;
  c.SMTP_USES_LOGIN = false;
  c.SMTP_LOGIN_NAME.clear();
  c.SMTP_LOGIN_PASS.clear();
  return c;
}

void ResetForLoad(Configuration& c) {
  c.LogFileSize = 0;
  c.SchedulerRecord = {};
  c.users.clear();
  c.Boss.clear();
  c.DialupPhoneNumber = {};
  c.DialupAttempts = 1;
  c.UseLAN = true;
  c.LocalDomain.clear();
  c.PostMaster.clear();
  c.Daemon.clear();
  c.MailDropDir.clear();
  c.QueueDir.clear();
  c.DialUpRecord.clear();
  c.SMTPServer.clear();
  c.SMTP_LOGIN_NAME.clear();
  c.SMTP_LOGIN_PASS.clear();
  c.DialupAutoOff = false;
  c.accounts.clear();
  c.SMTPSport = defaults::kSmtpPort;
  c.POP3_SRV_PORT = defaults::kPop3Port;
  c.SMTP_SRV_PORT = defaults::kSmtpPort;
  c.SERVERS_TIMEOUT = defaults::kServersTimeoutMs;
  c.SMTP_TLS = TlsMode::kNone;
  c.SMTP_TLS_FINGERPRINT.clear();
  c.TLS_CA_FILE.clear();
  c.TLS_CERT_FILE.clear();
  c.TLS_KEY_FILE.clear();
  c.POP3_SRV_TLS_PORT = 0;
  c.SMTP_SRV_TLS_PORT = 0;
  c.IMAP_SRV_PORT = defaults::kImapPort;
  c.IMAP_SRV_TLS_PORT = 0;
  c.SMTP_EHLO = true;
  c.RELAY_NETWORKS = defaults::kRelayNetworks;
  c.MAX_SESSIONS = defaults::kMaxSessions;
  c.LISTEN_ADDRESSES = defaults::kListenAddresses;
  c.SMTP_SRV_AUTH = SmtpServerAuth::kNo;
  c.AUTH_FAIL_LIMIT = defaults::kAuthFailLimit;
  c.PLAINTEXT_LOGIN = PlaintextLogin::kDefault;
  c.SMTP_AUTH = OauthMechanism::kNone;
  c.SMTP_OAUTH.clear();
  c.oauthSettings.clear();
  c.unknownParameters.clear();
}

PlaintextLogin DefaultPlaintextLogin(const Configuration& c) {
  return c.TLS_CERT_FILE.empty() ? PlaintextLogin::kYes : PlaintextLogin::kLocal;
}

PlaintextLogin EffectivePlaintextLogin(const Configuration& c) {
  return c.PLAINTEXT_LOGIN == PlaintextLogin::kDefault ? DefaultPlaintextLogin(c) : c.PLAINTEXT_LOGIN;
}

bool PlaintextLoginAllowed(const Configuration& c, bool secure, bool fromThisComputer) {
  switch (EffectivePlaintextLogin(c)) {
    case PlaintextLogin::kLocal: return secure || fromThisComputer;
    case PlaintextLogin::kNo: return secure;
    default: return true;
  }
}

std::string_view PlaintextLoginName(PlaintextLogin value) {
  switch (value) {
    case PlaintextLogin::kLocal: return "LOCAL";
    case PlaintextLogin::kNo: return "NO";
    default: return "YES";
  }
}

std::optional<PlaintextLogin> ParsePlaintextLogin(std::string_view text) {
  for (const PlaintextLogin value : {PlaintextLogin::kYes, PlaintextLogin::kLocal, PlaintextLogin::kNo}) {
    if (platform::EqualsIgnoreAsciiCase(text, PlaintextLoginName(value))) return value;
  }
  return std::nullopt;
}

std::string NormalizeFingerprint(std::string_view text) {
  std::string hex;
  for (char ch : text) {
    if (ch == ':' || ch == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return {};
    hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
  }
  return hex.size() == 64 ? hex : std::string();
}

int FindLocalUser(const Configuration& config, std::string_view name) {
  for (std::size_t i = 0; i < config.users.size(); ++i) {
    if (platform::EqualsIgnoreAsciiCase(config.users[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

void SqueezeBlanks(std::string& text) {
  std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

std::string KeepDaysText(std::int32_t days) {
  return days == kKeepForever ? std::string("forever") : std::to_string(days);
}

std::optional<std::int32_t> ParseKeepDays(std::string_view text) {
  if (platform::EqualsIgnoreAsciiCase(text, "forever")) return kKeepForever;
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const std::int32_t days = std::stoi(std::string(text));
  if (days > kMaxKeepDays) return std::nullopt;
  return days;
}

std::string FolderNameText(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 32 || c == ',' || c == '%' || byte == 127) {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    } else {
      text += c;
    }
  }
  return text;
}

std::optional<std::string> ParseFolderName(std::string_view text) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      name += text[i];
      continue;
    }
    if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return std::nullopt;
    name += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
    i += 2;
  }
  if (name.empty() || name.size() > kMaxFolderName) return std::nullopt;
  return name;
}

std::vector<std::string> ParseFolderList(std::string_view text) {
  std::vector<std::string> folders;
  while (!text.empty() && folders.size() < kMaxFolders) {
    const std::size_t comma = text.find(',');
    if (auto name = ParseFolderName(text.substr(0, comma))) folders.push_back(std::move(*name));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return folders;
}

std::string FolderListText(const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& folder : folders) text += (text.empty() ? "" : ",") + FolderNameText(folder);
  return text;
}

std::vector<std::string> CollectedFolders(const ProviderAccount& account) {
  return account.folders.empty() ? std::vector<std::string>{"INBOX"} : account.folders;
}

std::uint32_t DefaultAccountPort(CollectProtocol proto, TlsMode tls) {
  const bool implicit = tls == TlsMode::kImplicit;
  if (proto == CollectProtocol::kImap) return implicit ? defaults::kImapsPort : defaults::kImapPort;
  return implicit ? defaults::kPop3sPort : defaults::kPop3Port;
}

std::string_view OauthMechanismName(OauthMechanism mechanism) {
  switch (mechanism) {
    case OauthMechanism::kXoauth2: return "XOAUTH2";
    case OauthMechanism::kOauthBearer: return "OAUTHBEARER";
    case OauthMechanism::kNone: break;
  }
  return {};
}

}  // namespace quelma::config
