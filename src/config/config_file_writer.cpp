// Writing quelma.cfg: always the same layout, replaced atomically.
#include "config/config_file.h"
#include "config/config_line.h"
#include "config/password_scramble.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quelma::config {
namespace {

constexpr char kWarningLines[] =
    "# Редактирование этого файла вручную может привести к непредсказуемому\r\n"
    "# поведению программы. Используйте диалоги!\r\n";

std::string YesNo(bool value) { return value ? "YES" : "NO"; }

// As printf's "%0*d": the sign first, then zeros up to `width` characters in all.
std::string ZeroPadded(std::int32_t value, std::size_t width) {
  const bool negative = value < 0;
  std::string digits = std::to_string(negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value));
  const std::size_t used = digits.size() + (negative ? 1 : 0);
  if (used < width) digits.insert(0, width - used, '0');
  return negative ? "-" + digits : digits;
}

std::string ScheduleText(const ScheduleRecord& r) {
  return ZeroPadded(r.startHour, 2) + ":" + ZeroPadded(r.startMinute, 2) + "--" + ZeroPadded(r.endHour, 2) + ":" +
         ZeroPadded(r.endMinute, 2) + "--" + ZeroPadded(r.periodMinutes, 4);
}

// The [Parameters] keys in the file's order; with `every`, the later keys also at their
// defaults, which the file leaves out so that a default quelma.cfg stays as it was.
std::vector<ParameterLine> Parameters(const Configuration& c, bool every) {
  std::vector<ParameterLine> out;
  const auto line = [&out](std::string key, std::string value) { out.push_back({std::move(key), std::move(value)}); };
  const auto later = [&](bool set, std::string key, std::string value) {
    if (set || every) line(std::move(key), std::move(value));
  };
  line("MailDropDir", SpacesToBars(c.MailDropDir));
  line("QueueDir", SpacesToBars(c.QueueDir));
  line("LocalDomain", c.LocalDomain);
  line("SMTPServer", c.SMTPServer);
  line("SMTPSport", std::to_string(c.SMTPSport));
  line("PostMaster", c.PostMaster);
  line("Daemon", c.Daemon);
  line("Boss", c.Boss);
  line("UseLAN", YesNo(c.UseLAN));
  line("DialUpRecord", SpacesToBars(c.DialUpRecord));
  line("DialupAutoOff", YesNo(c.DialupAutoOff));
  for (std::size_t i = 0; i < c.DialupPhoneNumber.size() && !c.DialupPhoneNumber[i].empty(); ++i) {
    line("DialupPhoneNumber" + std::to_string(i), SpacesToBars(c.DialupPhoneNumber[i]));
  }
  line("DialupAttempts", std::to_string(c.DialupAttempts));
  line("LogFileSize", std::to_string(c.LogFileSize));
  line("POP3_SRV_PORT", std::to_string(c.POP3_SRV_PORT));
  line("SMTP_SRV_PORT", std::to_string(c.SMTP_SRV_PORT));
  line("SMTP_USES_LOGIN", c.SMTP_USES_LOGIN ? "1" : "0");
  line("SMTP_LOGIN_NAME", SpacesToBars(c.SMTP_LOGIN_NAME));
  // The reader keeps 32 scrambled bytes; scrambling only those keeps their first byte right.
  line("SMTP_LOGIN_PASS", ScramblePassword(platform::Cut(c.SMTP_LOGIN_PASS, 32)));
  line("SERVERS_TIMEOUT", std::to_string(static_cast<std::int32_t>(c.SERVERS_TIMEOUT)));
  line("UNDISCLOSED_MAIL_TO", c.UNDISCLOSED_MAIL_TO);
  for (std::size_t i = 0; i < c.SchedulerRecord.size(); ++i) {
    line("SchedulerRecord" + std::to_string(i), ScheduleText(c.SchedulerRecord[i]));
  }
  // Newer keys, each only when it is not at its default: a default file stays as it was.
  later(c.SMTP_TLS != TlsMode::kNone, "SMTP_TLS",
        c.SMTP_TLS == TlsMode::kImplicit ? "SSL" : c.SMTP_TLS == TlsMode::kStartTls ? "STARTTLS" : "NONE");
  later(!c.SMTP_TLS_FINGERPRINT.empty(), "SMTP_TLS_FINGERPRINT", c.SMTP_TLS_FINGERPRINT);
  later(!c.TLS_CA_FILE.empty(), "TLS_CA_FILE", SpacesToBars(c.TLS_CA_FILE));
  later(!c.TLS_CERT_FILE.empty(), "TLS_CERT_FILE", SpacesToBars(c.TLS_CERT_FILE));
  later(!c.TLS_KEY_FILE.empty(), "TLS_KEY_FILE", SpacesToBars(c.TLS_KEY_FILE));
  later(c.POP3_SRV_TLS_PORT != 0, "POP3_SRV_TLS_PORT", std::to_string(c.POP3_SRV_TLS_PORT));
  later(c.SMTP_SRV_TLS_PORT != 0, "SMTP_SRV_TLS_PORT", std::to_string(c.SMTP_SRV_TLS_PORT));
  later(!c.SMTP_EHLO, "SMTP_EHLO", YesNo(c.SMTP_EHLO));
  later(c.RELAY_NETWORKS != defaults::kRelayNetworks, "RELAY_NETWORKS", c.RELAY_NETWORKS);
  later(c.MAX_SESSIONS != defaults::kMaxSessions, "MAX_SESSIONS", std::to_string(c.MAX_SESSIONS));
  later(c.LISTEN_ADDRESSES != defaults::kListenAddresses, "LISTEN_ADDRESSES", c.LISTEN_ADDRESSES);
  later(c.SMTP_SRV_AUTH != SmtpServerAuth::kNo, "SMTP_SRV_AUTH",
        c.SMTP_SRV_AUTH == SmtpServerAuth::kRequired ? "REQUIRED" : c.SMTP_SRV_AUTH == SmtpServerAuth::kYes ? "YES" : "NO");
  later(c.AUTH_FAIL_LIMIT != defaults::kAuthFailLimit, "AUTH_FAIL_LIMIT", std::to_string(c.AUTH_FAIL_LIMIT));
  later(EffectivePlaintextLogin(c) != DefaultPlaintextLogin(c), "PLAINTEXT_LOGIN",
        std::string(PlaintextLoginName(EffectivePlaintextLogin(c))));
  later(c.SMTP_AUTH != OauthMechanism::kNone, "SMTP_AUTH",
        std::string(OauthMechanismName(c.SMTP_AUTH)));
  later(!c.SMTP_OAUTH.empty(), "SMTP_OAUTH", c.SMTP_OAUTH);
  later(c.IMAP_SRV_PORT != defaults::kImapPort, "IMAP_SRV_PORT", std::to_string(c.IMAP_SRV_PORT));
  later(c.IMAP_SRV_TLS_PORT != 0, "IMAP_SRV_TLS_PORT", std::to_string(c.IMAP_SRV_TLS_PORT));
  later(c.ALERT_DISK_MB != defaults::kAlertDiskMb, "ALERT_DISK_MB", std::to_string(c.ALERT_DISK_MB));
  later(c.ALERT_FAIL_HOURS != defaults::kAlertFailHours, "ALERT_FAIL_HOURS", std::to_string(c.ALERT_FAIL_HOURS));
  later(c.ALERT_QUEUE_HOURS != defaults::kAlertQueueHours, "ALERT_QUEUE_HOURS", std::to_string(c.ALERT_QUEUE_HOURS));
  for (const auto& [key, value] : c.oauthSettings) line(key, value);
  return out;
}

void AddLine(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += " = ";
  out += value;
  out += "\r\n";
}

// Each unknown line goes back behind the known line it followed; one whose line is no longer
// written (its key back at the default) after the last.
void WriteParameters(std::string& out, const Configuration& c) {
  out += "[Parameters]\r\n";
  std::vector<bool> written(c.unknownParameters.size(), false);
  const auto unknownAfter = [&](std::string_view key) {
    for (std::size_t i = 0; i < written.size(); ++i) {
      if (!written[i] && platform::EqualsIgnoreAsciiCase(c.unknownParameters[i].after, key)) {
        out += c.unknownParameters[i].line + "\r\n";
        written[i] = true;
      }
    }
  };
  unknownAfter("");
  for (const ParameterLine& line : Parameters(c, false)) {
    AddLine(out, line.key, line.value);
    unknownAfter(line.key);
  }
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (!written[i]) out += c.unknownParameters[i].line + "\r\n";
  }
}

// The options after the remark that older builds do not read, each only when set.
std::string AccountOptions(const ProviderAccount& a) {
  std::string options;
  if (a.tls != TlsMode::kNone) options += a.tls == TlsMode::kImplicit ? " tls=ssl" : " tls=stls";
  if (!a.fingerprint.empty()) options += " fingerprint=" + a.fingerprint;
  if (a.auth != OauthMechanism::kNone) options += std::string(" auth=") + (a.auth == OauthMechanism::kXoauth2 ? "xoauth2" : "oauthbearer");
  if (!a.oauth.empty()) options += " oauth=" + a.oauth;
  if (a.keepDays != 0) options += " keep=" + KeepDaysText(a.keepDays);
  if (a.maxSizeKb != 0) options += " maxsize=" + std::to_string(a.maxSizeKb);
  if (a.proto == CollectProtocol::kImap) options += " proto=imap";
  if (!a.folders.empty()) options += " folders=" + FolderListText(a.folders);
  if (!a.moveTo.empty()) options += " after=move:" + FolderNameText(a.moveTo);
  if (a.idle) options += " idle=yes";
  for (const std::string& word : a.unknownWords) options += " " + word;
  return options;
}

void WriteAccounts(std::string& out, const Configuration& c) {
  out += "[POP3accounts]\r\n";
  for (const ProviderAccount& a : c.accounts) {
    out += a.server + " " + a.login + " ; " + ScramblePassword(platform::Cut(a.password, 24)) + "-" + std::to_string(a.port) + "-" +
           std::to_string(a.useApop) + "-" + a.deliverTo + AccountOptions(a) + "\r\n";
  }
}

void WriteUsers(std::string& out, const Configuration& c) {
  out += "[Users]\r\n";
  for (const LocalUser& u : c.users) out += u.name + " " + u.password + " ; " + u.alias + "\r\n";
}

}  // namespace

std::string ConfigFilePath(const std::string& programDir) { return programDir + "quelma.cfg"; }

std::vector<ParameterLine> EveryParameter(const Configuration& config) { return Parameters(config, true); }

std::string FormatConfiguration(const Configuration& config) {
  std::string out = kWarningLines;
  WriteParameters(out, config);
  WriteAccounts(out, config);
  WriteUsers(out, config);
  return out;
}

SaveResult SaveConfiguration(const std::string& programDir, Configuration& config) {
  platform::LowerCp1251InPlace(config.LocalDomain);
  // The file holds passwords: for the program's user alone, whatever mode the old one had.
  switch (platform::AtomicReplace(ConfigFilePath(programDir), FormatConfiguration(config), platform::CreateMode::kPrivate)) {
    case platform::WriteResult::kWritten: return SaveResult::kSaved;
    case platform::WriteResult::kCannotCreate: return SaveResult::kCannotCreate;
    case platform::WriteResult::kWriteFailed:
    case platform::WriteResult::kNotDurable: break;
  }
  return SaveResult::kWriteFailed;
}

}  // namespace quelma::config
