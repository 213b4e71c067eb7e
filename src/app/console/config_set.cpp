// "config set KEY VALUE ...": fields of the servers dialog or of the communication dialog, by the
// quelma.cfg keys they are kept under, then the dialog's OK with every other field as it opened.
#include <functional>
#include <optional>

#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/dialog_text.h"
#include "dialogs/servers_dialog.h"
#include "platform/text.h"

namespace quelma::app {

namespace {

using Problem = std::optional<std::string>;

// A number field whose out-of-range value the dialog would pass over without a word (its spin
// boxes never show one): refused here instead.
Problem NumberProblem(const std::string& key, const std::string& value, std::uint32_t low, std::uint32_t high) {
  const auto number = dialogs::ReadCount(value, high);
  if (number && *number >= low) return std::nullopt;
  return key + ": число от " + std::to_string(low) + " до " + std::to_string(high) + ".";
}

Problem YesNoInto(const std::string& key, const std::string& value, bool& field) {
  const auto yes = ParseYesNo(value);
  if (!yes) return key + ": YES или NO.";
  field = *yes;
  return std::nullopt;
}

constexpr auto kPort = static_cast<std::uint32_t>(config::limits::kPort);

struct ServersKey {
  const char* name;
  std::function<Problem(ConfigSession&, const std::string&, dialogs::ServersFields&)> set;
};

template <std::string dialogs::ServersFields::*field>
auto Text() {
  return [](ConfigSession&, const std::string& value, dialogs::ServersFields& f) -> Problem {
    f.*field = value;
    return std::nullopt;
  };
}

template <std::string dialogs::ServersFields::*field, std::uint32_t low, std::uint32_t high>
auto Number(const char* key) {
  return [key](ConfigSession&, const std::string& value, dialogs::ServersFields& f) -> Problem {
    if (auto problem = NumberProblem(key, value, low, high)) return problem;
    f.*field = value;
    return std::nullopt;
  };
}

template <std::string dialogs::ServersFields::*field>
auto Folder(const char* key) {
  return [key](ConfigSession& session, const std::string& value, dialogs::ServersFields& f) -> Problem {
    if (!dialogs::AcceptFolder(value, session.env().isDirectory)) return std::string(key) + ": нет папки \"" + value + "\".";
    f.*field = value;
    return std::nullopt;
  };
}

const ServersKey kServersKeys[] = {
    {"MailDropDir", Folder<&dialogs::ServersFields::mailDropDir>("MailDropDir")},
    {"QueueDir", Folder<&dialogs::ServersFields::queueDir>("QueueDir")},
    {"LocalDomain", Text<&dialogs::ServersFields::localDomain>()},
    {"LogFileSize", Number<&dialogs::ServersFields::logFileSize, 0, config::limits::kLogFileKilobytes>("LogFileSize")},
    {"POP3_SRV_PORT", Number<&dialogs::ServersFields::pop3Port, 1, kPort>("POP3_SRV_PORT")},
    {"SMTP_SRV_PORT", Number<&dialogs::ServersFields::smtpPort, 1, kPort>("SMTP_SRV_PORT")},
    {"SERVERS_TIMEOUT", Number<&dialogs::ServersFields::timeout, config::limits::kShortestServersTimeoutMs,
                               config::limits::kLongestServersTimeoutMs>("SERVERS_TIMEOUT")},
    {"TLS_CERT_FILE", Text<&dialogs::ServersFields::certFile>()},
    {"TLS_KEY_FILE", Text<&dialogs::ServersFields::keyFile>()},
    {"POP3_SRV_TLS_PORT", Number<&dialogs::ServersFields::pop3TlsPort, 0, kPort>("POP3_SRV_TLS_PORT")},
    {"SMTP_SRV_TLS_PORT", Number<&dialogs::ServersFields::smtpTlsPort, 0, kPort>("SMTP_SRV_TLS_PORT")},
    {"IMAP_SRV_PORT", Number<&dialogs::ServersFields::imapPort, 0, kPort>("IMAP_SRV_PORT")},
    {"IMAP_SRV_TLS_PORT", Number<&dialogs::ServersFields::imapTlsPort, 0, kPort>("IMAP_SRV_TLS_PORT")},
    {"ALERT_DISK_MB", Number<&dialogs::ServersFields::alertDiskMb, 0, config::limits::kMaxAlertDiskMb>("ALERT_DISK_MB")},
    {"ALERT_FAIL_HOURS", Number<&dialogs::ServersFields::alertFailHours, 0, config::limits::kMaxAlertHours>("ALERT_FAIL_HOURS")},
    {"ALERT_QUEUE_HOURS", Number<&dialogs::ServersFields::alertQueueHours, 0, config::limits::kMaxAlertHours>("ALERT_QUEUE_HOURS")},
    {"SMTP_EHLO", [](ConfigSession&, const std::string& v, dialogs::ServersFields& f) { return YesNoInto("SMTP_EHLO", v, f.ehlo); }},
    {"MAX_SESSIONS", Text<&dialogs::ServersFields::maxSessions>()},
    {"LISTEN_ADDRESSES", Text<&dialogs::ServersFields::listenAddresses>()},
    {"RELAY_NETWORKS", Text<&dialogs::ServersFields::relayNetworks>()},
    {"AUTH_FAIL_LIMIT", Text<&dialogs::ServersFields::authFailLimit>()},
    {"SMTP_SRV_AUTH",
     [](ConfigSession&, const std::string& v, dialogs::ServersFields& f) -> Problem {
       const std::string w = platform::ToLowerAscii(v);
       f.smtpAuth = w == "no" ? 0 : w == "yes" ? 1 : w == "required" ? 2 : -1;
       if (f.smtpAuth < 0) return std::string("SMTP_SRV_AUTH: NO, YES или REQUIRED.");
       return std::nullopt;
     }},
    {"PLAINTEXT_LOGIN",
     [](ConfigSession&, const std::string& v, dialogs::ServersFields& f) -> Problem {
       const auto value = config::ParsePlaintextLogin(v);
       if (!value) return std::string("PLAINTEXT_LOGIN: YES, LOCAL или NO.");
       f.plaintextLogin = dialogs::PlaintextLoginChoice(*value);
       f.plaintextLoginChosen = true;
       return std::nullopt;
     }},
};

struct CommunicationKey {
  const char* name;
  std::function<Problem(ConfigSession&, const std::string&, dialogs::CommunicationDialog&, dialogs::CommunicationFields&)> set;
};

const CommunicationKey kCommunicationKeys[] = {
    {"SMTPServer", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) -> Problem {
       f.smtpServer = v;
       return std::nullopt;
     }},
    {"SMTPSport", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) {
       f.smtpPort = v;
       return NumberProblem("SMTPSport", v, 1, config::limits::kProviderPort);
     }},
    {"SMTP_TLS", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) -> Problem {
       const std::string w = platform::ToLowerAscii(v);
       const int tls = w == "none" || w == "no" ? 0 : w == "starttls" ? 1 : w == "ssl" ? 2 : -1;
       if (tls < 0) return std::string("SMTP_TLS: NONE, STARTTLS или SSL.");
       // The port follows the choice as in the dialog when it shows the usual port.
       f.smtpPort = dialogs::PortAfterTlsChoice(f.smtpPort, f.smtpTls, tls, dialogs::kSmtpUsualPorts);
       f.smtpTls = tls;
       return std::nullopt;
     }},
    {"SMTP_TLS_FINGERPRINT", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) -> Problem {
       f.smtpFingerprint = v;
       return std::nullopt;
     }},
    {"TLS_CA_FILE", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) -> Problem {
       f.caFile = v;
       return std::nullopt;
     }},
    {"UseLAN", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog& d, dialogs::CommunicationFields& f) -> Problem {
       bool lan = true;
       if (auto problem = YesNoInto("UseLAN", v, lan)) return problem;
       if (lan != d.useLan()) d.toggleLan();
       if (d.useLan() != lan) return std::string("UseLAN: нет ни одной записи удаленного доступа, связь только через LAN.");
       f = d.fields();
       return std::nullopt;
     }},
    {"DialUpRecord", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog& d, dialogs::CommunicationFields& f) -> Problem {
       const auto& entries = d.dialUp().entries;
       if (!d.dialUp().enabled || std::find(entries.begin(), entries.end(), v) == entries.end()) {
         return "DialUpRecord: нет записи удаленного доступа \"" + v + "\" (или UseLAN = YES).";
       }
       f.dialUpRecord = v;
       return std::nullopt;
     }},
    {"DialupAutoOff", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog& d, dialogs::CommunicationFields& f) -> Problem {
       if (!d.dialUp().enabled) return std::string("DialupAutoOff: связь через LAN (UseLAN = YES).");
       return YesNoInto("DialupAutoOff", v, f.autoOff);
     }},
    {"DialupAttempts", [](ConfigSession&, const std::string& v, dialogs::CommunicationDialog&, dialogs::CommunicationFields& f) {
       f.attempts = v;
       return NumberProblem("DialupAttempts", v, dialogs::kAttemptsLow, dialogs::kAttemptsHigh);
     }},
};

// Keys set by other commands, with the command.
constexpr const char* kElsewhere[][2] = {
    {"PostMaster", "config role postmaster NAME"},   {"Daemon", "config role daemon NAME"},
    {"Boss", "config role boss NAME|none"},          {"UNDISCLOSED_MAIL_TO", "config unsorted set NAMES"},
    {"SMTP_USES_LOGIN", "config smtp set --login NAME | --no-login"},
    {"SMTP_LOGIN_NAME", "config smtp set --login NAME"}, {"SMTP_LOGIN_PASS", "set-password smtp"},
    {"SMTP_AUTH", "config smtp set --auth ..."},     {"SMTP_OAUTH", "config smtp set --oauth ..."},
};

}  // namespace

int SetCommand(ConfigSession& session, Words words) {
  if (words.empty() || words.size() % 2 != 0) return session.usage("config set KEY VALUE [KEY VALUE ...]");
  // Every pair goes into the fields of one dialog, and its OK takes them together (a
  // certificate needs its key in the same OK).
  std::optional<dialogs::ServersDialog> servers;
  std::optional<dialogs::CommunicationDialog> communication;
  dialogs::ServersFields serversFields;
  dialogs::CommunicationFields communicationFields;
  for (std::size_t i = 0; i < words.size(); i += 2) {
    const auto key = TerminalWordToCp1251(words[i]);
    const auto value = TerminalWordToCp1251(words[i + 1]);
    if (!key || !value) return session.usage("символ, которого нет в кодировке Windows-1251");
    const ServersKey* serversKey = nullptr;
    const CommunicationKey* communicationKey = nullptr;
    for (const ServersKey& k : kServersKeys) {
      if (platform::EqualsIgnoreAsciiCase(k.name, *key)) serversKey = &k;
    }
    for (const CommunicationKey& k : kCommunicationKeys) {
      if (platform::EqualsIgnoreAsciiCase(k.name, *key)) communicationKey = &k;
    }
    if ((serversKey && communication) || (communicationKey && servers)) {
      return session.usage("параметры серверов и параметры связи задаются разными командами");
    }
    if (serversKey) {
      if (!servers) serversFields = servers.emplace(session.env()).fields();
      if (const auto problem = serversKey->set(session, *value, serversFields)) return session.refuse(*problem);
      continue;
    }
    if (communicationKey) {
      if (!communication) communicationFields = communication.emplace(session.env(), session.access()).fields();
      if (const auto problem = communicationKey->set(session, *value, *communication, communicationFields)) {
        return session.refuse(*problem);
      }
      continue;
    }
    for (const auto& [name, command] : kElsewhere) {
      if (platform::EqualsIgnoreAsciiCase(name, *key)) return session.usage(std::string(name) + ": quelma " + command);
    }
    if (platform::ToUpperAscii(*key).starts_with("SCHEDULERRECORD")) return session.usage(*key + ": quelma config schedule set ...");
    if (platform::ToUpperAscii(*key).starts_with("DIALUPPHONENUMBER")) return session.usage(*key + ": quelma config phone ...");
    std::string known;
    for (const ServersKey& k : kServersKeys) known += std::string(known.empty() ? "" : ", ") + k.name;
    for (const CommunicationKey& k : kCommunicationKeys) known += std::string(", ") + k.name;
    return session.usage("нет параметра \"" + *key + "\"; параметры: " + known);
  }
  if (servers) return session.finish(servers->ok(serversFields));
  return session.finish(communication->ok(communicationFields));
}

}  // namespace quelma::app
