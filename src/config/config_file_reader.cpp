// Loading quelma.cfg line by line into the configuration, or making it when it is missing.
#include <cctype>
#include <string_view>

#include "config/config_file.h"
#include "config/config_line.h"
#include "config/list_setting.h"
#include "config/password_scramble.h"
#include "platform/files.h"
#include "platform/line_reader.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace quelma::config {
namespace {

using platform::Cut;

enum class Section { kNone, kParameters, kUsers, kAccounts };

std::string CutText(std::string_view value, std::size_t capacity) { return std::string(Cut(value, capacity)); }

bool IsYes(std::string_view value) { return platform::EqualsIgnoreAsciiCase(value, "YES"); }

// An empty directory is the current one; the separator is added unless it ends the value.
std::string DirectoryValue(std::string_view value) {
  if (value.empty()) return std::string(".") + platform::kPathSeparator;
  std::string dir(Cut(value, limits::kPath - 1));
  if (dir.back() != platform::kPathSeparator) dir.push_back(platform::kPathSeparator);
  return BarsToSpaces(dir);
}

// NONE (or nothing) is plain text and SSL is TLS from the first byte. STARTTLS (SMTP), STLS
// (an account) and any value this build does not know ask for TLS after a plain start, so
// that a slip in the file never sends a password in clear.
TlsMode TlsModeValue(std::string_view value) {
  if (value.empty() || platform::EqualsIgnoreAsciiCase(value, "NONE")) return TlsMode::kNone;
  if (platform::EqualsIgnoreAsciiCase(value, "SSL")) return TlsMode::kImplicit;
  return TlsMode::kStartTls;
}

std::string PathValue(std::string_view value) { return BarsToSpaces(Cut(value, limits::kPath - 1)); }

std::int32_t TlsPortValue(std::string_view value) {
  const auto n = ScanSigned(value).value_or(0);
  return n > 0 && n <= limits::kPort ? n : 0;
}

// A local server's port: a number no socket can take (0 among them) is the default.
std::int32_t ServerPortValue(std::int32_t n, std::int32_t fallback) { return n > 0 && n <= limits::kPort ? n : fallback; }

// A number within [lowest, highest]; anything else is the default.
std::int32_t BoundedValue(std::string_view value, std::int32_t lowest, std::int32_t highest, std::int32_t fallback) {
  const auto n = ScanSigned(value);
  return n && *n >= lowest && *n <= highest ? *n : fallback;
}

// NO (or nothing) and YES as written; any other value, REQUIRED among them, asks for the login,
// so that a slip in the file never opens the server.
SmtpServerAuth SmtpServerAuthValue(std::string_view value) {
  if (value.empty() || platform::EqualsIgnoreAsciiCase(value, "NO")) return SmtpServerAuth::kNo;
  if (platform::EqualsIgnoreAsciiCase(value, "YES")) return SmtpServerAuth::kYes;
  return SmtpServerAuth::kRequired;
}

// Anything but the two mechanisms means the password, as before the option existed.
OauthMechanism OauthMechanismValue(std::string_view value) {
  if (platform::EqualsIgnoreAsciiCase(value, "XOAUTH2")) return OauthMechanism::kXoauth2;
  if (platform::EqualsIgnoreAsciiCase(value, "OAUTHBEARER")) return OauthMechanism::kOauthBearer;
  return OauthMechanism::kNone;
}

// A platform's name as the settings keep it: lower case letters, digits, "-" and "_".
std::string OauthNameValue(std::string_view value) {
  std::string name;
  for (char ch : Cut(value, 32)) {
    const char lower = platform::LowerAscii(ch);
    if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '-' || lower == '_') {
      name.push_back(lower);
    }
  }
  return name;
}

std::int32_t KeepDaysValue(std::string_view value) { return ParseKeepDays(value).value_or(kKeepForever); }

// A size limit the file cannot mean is no limit: every message is downloaded.
std::uint32_t MaxSizeValue(std::string_view value) {
  const auto kb = ScanUnsigned(value);
  return kb && *kb <= kMaxSizeKb && value.find_first_not_of("0123456789") == std::string_view::npos ? *kb : 0;
}

// "after=move:FOLDER"; "after=delete" is the default and means no folder. Any other value is
// kept as an unknown word, so that a mistyped one is never taken for deletion.
std::optional<std::string> AfterMoveValue(std::string_view value) {
  if (platform::EqualsIgnoreAsciiCase(value, "delete")) return std::string();
  if (value.size() < 5 || !platform::EqualsIgnoreAsciiCase(value.substr(0, 5), "move:")) return std::nullopt;
  return ParseFolderName(value.substr(5));
}

using ParameterHandler = void (*)(Configuration&, std::string_view);

struct ParameterKey {
  std::string_view key;
  ParameterHandler handle;
};

// Whole keys, compared ignoring case; a later line with the same key wins.
constexpr ParameterKey kParameterKeys[] = {
    {"LogFileSize",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanUnsigned(v)) c.LogFileSize = *n > limits::kLogFileKilobytes + 1 ? limits::kLogFileKilobytes : *n;
     }},
    {"DialupAttempts",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanSigned(v)) c.DialupAttempts = *n;
     }},
    {"UseLAN", [](Configuration& c, std::string_view v) { c.UseLAN = IsYes(v); }},
    {"DialUpRecord",
     [](Configuration& c, std::string_view v) { c.DialUpRecord = BarsToSpaces(Cut(v, limits::kDialUpRecord)); }},
    {"DialUpAutoOff", [](Configuration& c, std::string_view v) { c.DialupAutoOff = IsYes(v); }},
    {"MailDropDir", [](Configuration& c, std::string_view v) { c.MailDropDir = DirectoryValue(v); }},
    {"QueueDir", [](Configuration& c, std::string_view v) { c.QueueDir = DirectoryValue(v); }},
    {"SMTPSport",
     [](Configuration& c, std::string_view v) {
       const auto n = ScanSigned(Cut(v, 5));
       const auto port = static_cast<std::uint16_t>(n.value_or(0));
       c.SMTPSport = (port == 0 || port > limits::kProviderPort) ? defaults::kSmtpPort : port;
     }},
    {"SMTPServer", [](Configuration& c, std::string_view v) { c.SMTPServer = CutText(v, limits::kHost); }},
    {"LocalDomain",
     [](Configuration& c, std::string_view v) { c.LocalDomain = platform::ToLowerCp1251(Cut(v, limits::kLocalDomain)); }},
    {"PostMaster", [](Configuration& c, std::string_view v) { c.PostMaster = CutText(v, limits::kSpecialUser); }},
    {"Daemon", [](Configuration& c, std::string_view v) { c.Daemon = CutText(v, limits::kSpecialUser); }},
    {"Boss", [](Configuration& c, std::string_view v) { c.Boss = CutText(v, limits::kSpecialUser); }},
    {"POP3_SRV_PORT",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanSigned(v)) c.POP3_SRV_PORT = ServerPortValue(*n, defaults::kPop3Port);
     }},
    {"SMTP_SRV_PORT",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanSigned(v)) c.SMTP_SRV_PORT = ServerPortValue(*n, defaults::kSmtpPort);
     }},
    {"SMTP_USES_LOGIN", [](Configuration& c, std::string_view v) { c.SMTP_USES_LOGIN = v.starts_with('1'); }},
    {"SMTP_LOGIN_NAME",
     [](Configuration& c, std::string_view v) { c.SMTP_LOGIN_NAME = BarsToSpaces(Cut(v, limits::kSmtpLoginName)); }},
    {"SMTP_LOGIN_PASS",
     [](Configuration& c, std::string_view v) { c.SMTP_LOGIN_PASS = UnscramblePassword(Cut(v, 2 * limits::kStoredSmtpPassword)); }},
    {"SERVERS_TIMEOUT",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanUnsigned(v)) {
         const bool inRange = *n >= limits::kShortestServersTimeoutMs && *n <= limits::kLongestServersTimeoutMs;
         c.SERVERS_TIMEOUT = inRange ? *n : defaults::kServersTimeoutMs;
       }
     }},
    {"UNDISCLOSED_MAIL_TO",
     [](Configuration& c, std::string_view v) { c.UNDISCLOSED_MAIL_TO = CutText(v, limits::kUndisclosedMailTo); }},
    {"SMTP_TLS", [](Configuration& c, std::string_view v) { c.SMTP_TLS = TlsModeValue(v); }},
    {"SMTP_TLS_FINGERPRINT",
     [](Configuration& c, std::string_view v) { c.SMTP_TLS_FINGERPRINT = NormalizeFingerprint(v); }},
    {"TLS_CA_FILE", [](Configuration& c, std::string_view v) { c.TLS_CA_FILE = PathValue(v); }},
    {"TLS_CERT_FILE", [](Configuration& c, std::string_view v) { c.TLS_CERT_FILE = PathValue(v); }},
    {"TLS_KEY_FILE", [](Configuration& c, std::string_view v) { c.TLS_KEY_FILE = PathValue(v); }},
    {"POP3_SRV_TLS_PORT", [](Configuration& c, std::string_view v) { c.POP3_SRV_TLS_PORT = TlsPortValue(v); }},
    {"SMTP_SRV_TLS_PORT", [](Configuration& c, std::string_view v) { c.SMTP_SRV_TLS_PORT = TlsPortValue(v); }},
    // 0 turns the IMAP server off; a number no socket can take is the default.
    {"IMAP_SRV_PORT",
     [](Configuration& c, std::string_view v) {
       if (auto n = ScanSigned(v)) c.IMAP_SRV_PORT = *n == 0 ? 0 : ServerPortValue(*n, defaults::kImapPort);
     }},
    {"IMAP_SRV_TLS_PORT", [](Configuration& c, std::string_view v) { c.IMAP_SRV_TLS_PORT = TlsPortValue(v); }},
    {"SMTP_EHLO", [](Configuration& c, std::string_view v) { c.SMTP_EHLO = !platform::EqualsIgnoreAsciiCase(v, "NO"); }},
    {"RELAY_NETWORKS", [](Configuration& c, std::string_view v) { c.RELAY_NETWORKS = CutText(v, kMaxValue); }},
    {"MAX_SESSIONS",
     [](Configuration& c, std::string_view v) {
       c.MAX_SESSIONS = BoundedValue(v, 1, limits::kMaxSessions, defaults::kMaxSessions);
     }},
    {"LISTEN_ADDRESSES",
     [](Configuration& c, std::string_view v) {
       c.LISTEN_ADDRESSES = CutText(v, kMaxValue);
       if (c.LISTEN_ADDRESSES.empty()) c.LISTEN_ADDRESSES = defaults::kListenAddresses;
     }},
    {"SMTP_SRV_AUTH", [](Configuration& c, std::string_view v) { c.SMTP_SRV_AUTH = SmtpServerAuthValue(v); }},
    {"AUTH_FAIL_LIMIT",
     [](Configuration& c, std::string_view v) {
       c.AUTH_FAIL_LIMIT = BoundedValue(v, 0, limits::kMaxAuthFailLimit, defaults::kAuthFailLimit);
     }},
    // A value other than YES and LOCAL (a slip) refuses passwords in clear, as NO does.
    {"PLAINTEXT_LOGIN",
     [](Configuration& c, std::string_view v) {
       c.PLAINTEXT_LOGIN = v.empty() ? PlaintextLogin::kDefault : ParsePlaintextLogin(v).value_or(PlaintextLogin::kNo);
     }},
    {"ALERT_DISK_MB",
     [](Configuration& c, std::string_view v) {
       c.ALERT_DISK_MB = BoundedValue(v, 0, limits::kMaxAlertDiskMb, defaults::kAlertDiskMb);
     }},
    {"ALERT_FAIL_HOURS",
     [](Configuration& c, std::string_view v) {
       c.ALERT_FAIL_HOURS = BoundedValue(v, 0, limits::kMaxAlertHours, defaults::kAlertFailHours);
     }},
    {"ALERT_QUEUE_HOURS",
     [](Configuration& c, std::string_view v) {
       c.ALERT_QUEUE_HOURS = BoundedValue(v, 0, limits::kMaxAlertHours, defaults::kAlertQueueHours);
     }},
    {"SMTP_AUTH", [](Configuration& c, std::string_view v) { c.SMTP_AUTH = OauthMechanismValue(v); }},
    {"SMTP_OAUTH", [](Configuration& c, std::string_view v) { c.SMTP_OAUTH = OauthNameValue(v); }},
};

constexpr std::string_view kOauthPrefix = "OAUTH_";
constexpr std::size_t kOauthSettings = 64;  // more keys than any platform needs

// "DialupPhoneNumber<n>": entry n, and the entry behind it is emptied, so the list ends there.
void ReadPhoneNumber(Configuration& c, std::string_view index, std::string_view value) {
  const std::int32_t n = ScanSigned(index).value_or(0);
  if (n < 0 || n >= static_cast<std::int32_t>(limits::kPhoneNumbers)) return;
  const auto i = static_cast<std::size_t>(n);
  c.DialupPhoneNumber[i] = BarsToSpaces(Cut(value, limits::kPhoneNumber));
  if (i + 1 < limits::kPhoneNumbers) c.DialupPhoneNumber[i + 1].clear();
}

// "SchedulerRecord<d>": only the one character after the prefix counts; fields that cannot
// be read keep their values, and reading stops at the first of them.
void ReadScheduleRecord(Configuration& c, std::string_view index, std::string_view value) {
  const std::size_t day = (!index.empty() && index[0] >= '0' && index[0] <= '6') ? index[0] - '0' : 0;
  ScheduleRecord& r = c.SchedulerRecord[day];
  FieldScanner scan(value);
  std::int32_t* fields[] = {&r.startHour, &r.startMinute, &r.endHour, &r.endMinute, &r.periodMinutes};
  constexpr std::string_view separators[] = {":", "--", ":", "--"};
  for (std::size_t f = 0; f < 5; ++f) {
    const auto n = scan.number(f == 4 ? 4 : 2);
    if (!n) return;
    *fields[f] = *n;
    if (f < 4 && !scan.literal(separators[f])) return;
  }
}

// A list value ("10.0.0.0/8, 192.168.1.0/24" or "::1/128 127.0.0.1"): everything after "=" up
// to a ";" remark, its items (split at commas and blanks) joined with single commas.
std::string ListValue(std::string_view raw) {
  const std::size_t equals = raw.find('=');
  if (equals == std::string_view::npos) return {};
  raw = raw.substr(equals + 1);
  raw = raw.substr(0, raw.find(';'));
  return CutText(ListText(ListItems(raw)), kMaxValue);
}

// False for a key this build does not know.
bool ReadParameter(Configuration& c, const ConfigLine& line, std::string_view raw) {
  static constexpr std::string_view kPhonePrefix = "DialupPhoneNumber";
  static constexpr std::string_view kSchedulePrefix = "SchedulerRecord";
  const std::string_view key = line.key;
  for (const char* list : {"RELAY_NETWORKS", "LISTEN_ADDRESSES"}) {
    if (platform::EqualsIgnoreAsciiCase(key, list)) {
      const std::string value = ListValue(raw);
      for (const ParameterKey& entry : kParameterKeys) {
        if (platform::EqualsIgnoreAsciiCase(key, entry.key)) {
          entry.handle(c, value);
          return true;
        }
      }
    }
  }
  if (key.size() > kOauthPrefix.size() && platform::EqualsIgnoreAsciiCase(key.substr(0, kOauthPrefix.size()), kOauthPrefix)) {
    std::string name = platform::ToUpperAscii(Cut(key, 64));
    if (c.oauthSettings.size() < kOauthSettings || c.oauthSettings.contains(name)) {
      std::string value = ListValue(raw);
      if (value.empty()) {
        c.oauthSettings.erase(name);
      } else {
        c.oauthSettings[std::move(name)] = std::move(value);
      }
    }
    return true;
  }
  if (key.starts_with(kPhonePrefix)) {
    ReadPhoneNumber(c, key.substr(kPhonePrefix.size()), line.value);
    return true;
  }
  if (key.starts_with(kSchedulePrefix)) {
    ReadScheduleRecord(c, key.substr(kSchedulePrefix.size()), line.value);
    return true;
  }
  for (const ParameterKey& entry : kParameterKeys) {
    if (platform::EqualsIgnoreAsciiCase(key, entry.key)) {
      entry.handle(c, line.value);
      return true;
    }
  }
  return false;
}

// The line as written, without its line end, for writing it back unchanged.
std::string WrittenLine(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\r' || raw.back() == '\n')) raw.remove_suffix(1);
  return std::string(raw);
}

void ReadUser(Configuration& c, const ConfigLine& line) {
  if (c.users.size() >= limits::kUsers) return;
  c.users.push_back(LocalUser{CutText(line.key, limits::kUserName), CutText(line.value, limits::kUserPassword),
                              CutText(line.remark, limits::kUserAlias)});
}

// "server login ; SCRAMBLED-port-apop-deliverTo". A remark without "-" (a long password cut
// off) still gives an account: port 110, no APOP, delivery through the sorter.
void ReadAccount(Configuration& c, const ConfigLine& line) {
  if (c.accounts.size() >= limits::kAccounts) return;
  ProviderAccount a;
  a.server = CutText(line.key, limits::kHost);
  a.login = CutText(line.value, limits::kAccountLogin);
  const std::string_view remark = Cut(line.remark, limits::kAccountPassword);
  a.password = UnscramblePassword(remark);
  a.port = 0;
  if (const auto dash = remark.find('-'); dash != std::string_view::npos) {
    FieldScanner scan(remark.substr(dash));
    if (scan.literal("-")) {
      if (auto port = scan.unsignedNumber()) {
        a.port = *port;
        if (scan.literal("-")) {
          if (auto apop = scan.unsignedNumber()) {
            a.useApop = *apop;
            if (scan.literal("-") && !scan.rest().empty()) a.deliverTo = CutText(scan.rest(), limits::kDeliverTo);
          }
        }
      }
    }
  }
  const bool portGiven = a.port != 0 && a.port <= limits::kProviderPort;
  if (!portGiven) a.port = defaults::kPop3Port;
  for (const std::string& word : OptionWords(line.rest)) {
    const std::size_t equals = word.find('=');
    const std::string_view name = std::string_view(word).substr(0, equals);
    const std::string_view value = equals == std::string::npos ? std::string_view() : std::string_view(word).substr(equals + 1);
    if (platform::EqualsIgnoreAsciiCase(name, "tls")) {
      a.tls = TlsModeValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "fingerprint")) {
      a.fingerprint = NormalizeFingerprint(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "auth")) {
      a.auth = OauthMechanismValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "oauth")) {
      a.oauth = OauthNameValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "keep")) {
      a.keepDays = KeepDaysValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "maxsize")) {
      a.maxSizeKb = MaxSizeValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "proto") && platform::EqualsIgnoreAsciiCase(value, "imap")) {
      a.proto = CollectProtocol::kImap;
    } else if (platform::EqualsIgnoreAsciiCase(name, "proto") && platform::EqualsIgnoreAsciiCase(value, "pop3")) {
      a.proto = CollectProtocol::kPop3;
    } else if (platform::EqualsIgnoreAsciiCase(name, "folders")) {
      a.folders = ParseFolderList(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "after") && AfterMoveValue(value)) {
      a.moveTo = *AfterMoveValue(value);
    } else if (platform::EqualsIgnoreAsciiCase(name, "idle")) {
      a.idle = platform::EqualsIgnoreAsciiCase(value, "yes");
    } else {
      a.unknownWords.push_back(word);
    }
  }
  if (!portGiven) a.port = DefaultAccountPort(a.proto, a.tls);
  c.accounts.push_back(std::move(a));
}

// A bracketed key ends the section; only the three known headers begin one.
Section SectionOf(std::string_view key) {
  if (platform::EqualsIgnoreAsciiCase(key, "[parameters]")) return Section::kParameters;
  if (platform::EqualsIgnoreAsciiCase(key, "[users]")) return Section::kUsers;
  if (platform::EqualsIgnoreAsciiCase(key, "[pop3accounts]")) return Section::kAccounts;
  return Section::kNone;
}

}  // namespace

void ReadConfiguration(platform::ByteSource& source, Configuration& config) {
  Section section = Section::kNone;
  platform::LineReader reader(source, kMaxConfigLine);
  std::string piece;
  std::string lastKnown;  // the key of the last known [Parameters] line
  while (reader.next(piece)) {
    const ConfigLine line = SplitConfigLine(piece);
    if (line.key.empty()) continue;
    if (line.key[0] == '[') {
      section = SectionOf(line.key);
      continue;
    }
    switch (section) {
      case Section::kNone: break;
      case Section::kParameters:
        if (ReadParameter(config, line, piece)) {
          lastKnown = line.key;
        } else if (config.unknownParameters.size() < limits::kUnknownParameters) {
          config.unknownParameters.push_back({lastKnown, WrittenLine(piece)});
        }
        break;
      case Section::kUsers: ReadUser(config, line); break;
      case Section::kAccounts: ReadAccount(config, line); break;
    }
  }
}

LoadResult LoadConfiguration(const std::string& programDir, Configuration& config) {
  const std::string path = ConfigFilePath(programDir);
  LoadResult result;
  auto file = platform::InputFile::Open(path);
  if (!file && platform::FileExists(path)) {
    result.status = LoadStatus::kUnreadable;
    return result;
  }
  if (!file) {
    // Only the defaults' two users exist now: a rule check would strip sorter.cfg of everyone.
    result.status = LoadStatus::kCreatedDefaults;
    result.save = CreateDefaultConfiguration(programDir, config);
    return result;
  }
  Configuration previous = config;
  ResetForLoad(config);
  ReadConfiguration(*file, config);
  if (file->failed()) {
    config = std::move(previous);
    result.status = LoadStatus::kUnreadable;
    return result;
  }
  return result;
}

SaveResult CreateDefaultConfiguration(const std::string& programDir, Configuration& config) {
  config = DefaultConfiguration(programDir);
  // One that cannot be made is reported by the spool's preparation, which tries again.
  platform::MakeDirectory(config.MailDropDir);
  platform::MakeDirectory(config.QueueDir);
  return SaveConfiguration(programDir, config);
}

}  // namespace quelma::config
