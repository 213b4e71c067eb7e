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

void Line(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += " = ";
  out += value;
  out += "\r\n";
}

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

void WriteParameters(std::string& out, const Configuration& c) {
  out += "[Parameters]\r\n";
  Line(out, "MailDropDir", SpacesToBars(c.MailDropDir));
  Line(out, "QueueDir", SpacesToBars(c.QueueDir));
  Line(out, "LocalDomain", c.LocalDomain);
  Line(out, "SMTPServer", c.SMTPServer);
  Line(out, "SMTPSport", std::to_string(c.SMTPSport));
  Line(out, "PostMaster", c.PostMaster);
  Line(out, "Daemon", c.Daemon);
  Line(out, "Boss", c.Boss);
  Line(out, "UseLAN", YesNo(c.UseLAN));
  Line(out, "DialUpRecord", SpacesToBars(c.DialUpRecord));
  Line(out, "DialupAutoOff", YesNo(c.DialupAutoOff));
  for (std::size_t i = 0; i < c.DialupPhoneNumber.size() && !c.DialupPhoneNumber[i].empty(); ++i) {
    Line(out, "DialupPhoneNumber" + std::to_string(i), SpacesToBars(c.DialupPhoneNumber[i]));
  }
  Line(out, "DialupAttempts", std::to_string(c.DialupAttempts));
  Line(out, "LogFileSize", std::to_string(c.LogFileSize));
  Line(out, "POP3_SRV_PORT", std::to_string(c.POP3_SRV_PORT));
  Line(out, "SMTP_SRV_PORT", std::to_string(c.SMTP_SRV_PORT));
  Line(out, "SMTP_USES_LOGIN", c.SMTP_USES_LOGIN ? "1" : "0");
  Line(out, "SMTP_LOGIN_NAME", SpacesToBars(c.SMTP_LOGIN_NAME));
  // The reader keeps 32 scrambled bytes; scrambling only those keeps their first byte right.
  Line(out, "SMTP_LOGIN_PASS", ScramblePassword(platform::Cut(c.SMTP_LOGIN_PASS, 32)));
  Line(out, "SERVERS_TIMEOUT", std::to_string(static_cast<std::int32_t>(c.SERVERS_TIMEOUT)));
  Line(out, "UNDISCLOSED_MAIL_TO", c.UNDISCLOSED_MAIL_TO);
  for (std::size_t i = 0; i < c.SchedulerRecord.size(); ++i) {
    Line(out, "SchedulerRecord" + std::to_string(i), ScheduleText(c.SchedulerRecord[i]));
  }
  // Newer keys, each only when it is not at its default: a default file stays as it was.
  if (c.SMTP_TLS != TlsMode::kNone) Line(out, "SMTP_TLS", c.SMTP_TLS == TlsMode::kImplicit ? "SSL" : "STARTTLS");
  if (!c.SMTP_TLS_FINGERPRINT.empty()) Line(out, "SMTP_TLS_FINGERPRINT", c.SMTP_TLS_FINGERPRINT);
  if (!c.TLS_CA_FILE.empty()) Line(out, "TLS_CA_FILE", SpacesToBars(c.TLS_CA_FILE));
  if (!c.TLS_CERT_FILE.empty()) Line(out, "TLS_CERT_FILE", SpacesToBars(c.TLS_CERT_FILE));
  if (!c.TLS_KEY_FILE.empty()) Line(out, "TLS_KEY_FILE", SpacesToBars(c.TLS_KEY_FILE));
  if (c.POP3_SRV_TLS_PORT != 0) Line(out, "POP3_SRV_TLS_PORT", std::to_string(c.POP3_SRV_TLS_PORT));
  if (c.SMTP_SRV_TLS_PORT != 0) Line(out, "SMTP_SRV_TLS_PORT", std::to_string(c.SMTP_SRV_TLS_PORT));
  if (!c.SMTP_EHLO) Line(out, "SMTP_EHLO", "NO");
  if (c.RELAY_NETWORKS != defaults::kRelayNetworks) Line(out, "RELAY_NETWORKS", c.RELAY_NETWORKS);
  if (c.MAX_SESSIONS != defaults::kMaxSessions) Line(out, "MAX_SESSIONS", std::to_string(c.MAX_SESSIONS));
  if (c.LISTEN_ADDRESSES != defaults::kListenAddresses) Line(out, "LISTEN_ADDRESSES", c.LISTEN_ADDRESSES);
  if (c.SMTP_SRV_AUTH != SmtpServerAuth::kNo) {
    Line(out, "SMTP_SRV_AUTH", c.SMTP_SRV_AUTH == SmtpServerAuth::kRequired ? "REQUIRED" : "YES");
  }
  if (c.AUTH_FAIL_LIMIT != defaults::kAuthFailLimit) Line(out, "AUTH_FAIL_LIMIT", std::to_string(c.AUTH_FAIL_LIMIT));
  if (EffectivePlaintextLogin(c) != DefaultPlaintextLogin(c)) {
    Line(out, "PLAINTEXT_LOGIN", std::string(PlaintextLoginName(c.PLAINTEXT_LOGIN)));
  }
  if (c.SMTP_AUTH != OauthMechanism::kNone) Line(out, "SMTP_AUTH", OauthMechanismName(c.SMTP_AUTH));
  if (!c.SMTP_OAUTH.empty()) Line(out, "SMTP_OAUTH", c.SMTP_OAUTH);
  for (const auto& [key, value] : c.oauthSettings) Line(out, key, value);
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

std::string FormatConfiguration(const Configuration& config) {
  std::string out = kWarningLines;
  WriteParameters(out, config);
  WriteAccounts(out, config);
  WriteUsers(out, config);
  return out;
}

SaveResult SaveConfiguration(const std::string& programDir, Configuration& config) {
  platform::LowerCp1251InPlace(config.LocalDomain);
  switch (platform::AtomicReplace(ConfigFilePath(programDir), FormatConfiguration(config))) {
    case platform::WriteResult::kWritten: return SaveResult::kSaved;
    case platform::WriteResult::kCannotCreate: return SaveResult::kCannotCreate;
    case platform::WriteResult::kWriteFailed:
    case platform::WriteResult::kNotDurable: break;
  }
  return SaveResult::kWriteFailed;
}

}  // namespace quelma::config
