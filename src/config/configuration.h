// The configuration record: every setting with its capacity, the three tables and defaults.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::config {

// Capacities: the longest text a setting keeps, and the table sizes.
namespace limits {
inline constexpr std::size_t kPath = 260;  // MailDropDir, QueueDir, separator included
inline constexpr std::size_t kLocalDomain = 63;
inline constexpr std::size_t kHost = 64;       // SMTPServer as read from the file, account server
inline constexpr std::size_t kSpecialUser = 64;  // PostMaster, Daemon, Boss
inline constexpr std::size_t kDialUpRecord = 98;
inline constexpr std::size_t kPhoneNumber = 127;
inline constexpr std::size_t kSmtpLoginName = 64;
inline constexpr std::size_t kSmtpLoginPass = 49;
inline constexpr std::size_t kUndisclosedMailTo = 998;
inline constexpr std::size_t kUserName = 29;
inline constexpr std::size_t kUserPassword = 10;
inline constexpr std::size_t kUserAlias = 64;
inline constexpr std::size_t kAccountLogin = 49;
inline constexpr std::size_t kAccountPassword = 49;
inline constexpr std::size_t kDeliverTo = 49;
// What quelma.cfg keeps of the passwords it stores scrambled; a longer one would be cut.
inline constexpr std::size_t kStoredSmtpPassword = 32;
inline constexpr std::size_t kStoredAccountPassword = 24;
inline constexpr std::size_t kUsers = 300;
inline constexpr std::size_t kAccounts = 25;
inline constexpr std::size_t kPhoneNumbers = 20;
inline constexpr std::size_t kScheduleDays = 7;
inline constexpr std::uint32_t kLogFileKilobytes = 999;  // the dialog's largest; the file keeps 1000 too
inline constexpr std::uint32_t kProviderPort = 30000;      // a larger provider port is taken for a slip
inline constexpr std::int32_t kPort = 65535;  // the local servers' ports, plain and TLS alike
inline constexpr std::size_t kUnknownParameters = 1000;  // [Parameters] lines kept that this build does not know
inline constexpr std::uint32_t kShortestServersTimeoutMs = 10000;
inline constexpr std::uint32_t kLongestServersTimeoutMs = 240000;
inline constexpr std::int32_t kMaxSessions = 500;      // per local server
inline constexpr std::int32_t kMaxAuthFailLimit = 1000;
inline constexpr std::int32_t kMaxAlertDiskMb = 1000000;
inline constexpr std::int32_t kMaxAlertHours = 8760;  // a year
}  // namespace limits

// The values a setting takes when it is missing, zero or out of its range.
namespace defaults {
inline constexpr std::uint16_t kSmtpPort = 25;   // the provider's and our own SMTP server
inline constexpr std::uint16_t kImapPort = 143;  // our own IMAP server
inline constexpr std::uint16_t kPop3Port = 110;  // a provider account's and our own POP3 server
inline constexpr std::uint32_t kServersTimeoutMs = 45000;
inline constexpr std::uint32_t kLogFileKilobytes = 4;  // of a new installation
inline constexpr std::uint32_t kProviderTimeoutMs = 120000;  // send and receive, both clients
inline constexpr std::uint16_t kPop3sPort = 995;
inline constexpr std::uint16_t kImapsPort = 993;  // a provider account over IMAP with implicit TLS  // a provider account with implicit TLS
inline constexpr std::uint16_t kSmtpsPort = 465;  // the provider's SMTP with implicit TLS
inline constexpr std::uint16_t kSubmissionPort = 587;  // the provider's SMTP with STARTTLS
// Who may send mail to outside addresses through us: loopback and the private ranges, which
// no stranger on the Internet comes from.
inline constexpr char kRelayNetworks[] =
    "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,::1/128,fc00::/7,fe80::/10";
// Who may when RELAY_NETWORKS cannot be read: this computer only.
inline constexpr char kLoopbackNetworks[] = "127.0.0.0/8,::1/128";
inline constexpr std::int32_t kMaxSessions = 20;     // clients each local server serves at once
inline constexpr char kListenAddresses[] = "*";      // every IPv4 and IPv6 address
inline constexpr std::int32_t kAuthFailLimit = 10;   // failed logins from one address in 10 minutes
// When the postmaster is told: free space below this many megabytes, a provider connection
// failing this many hours, a queue message this many hours old. 0 turns that alert off.
inline constexpr std::int32_t kAlertDiskMb = 500;
inline constexpr std::int32_t kAlertFailHours = 12;
inline constexpr std::int32_t kAlertQueueHours = 24;
}  // namespace defaults

inline constexpr std::int32_t kKeepForever = -1;  // "keep=forever"
inline constexpr std::int32_t kMaxKeepDays = 3650;
inline constexpr std::uint32_t kMaxSizeKb = 4194303;  // below 4 GiB in bytes
inline constexpr std::size_t kMaxFolders = 32;       // an account's "folders="
inline constexpr std::size_t kMaxFolderName = 200;   // bytes of one IMAP folder's name

// How a connection to the provider (or from a local mail program) is secured: not at all,
// TLS after a plain start (STLS for POP3, STARTTLS for SMTP), or TLS from the first byte.
enum class TlsMode { kNone, kStartTls, kImplicit };

// Whether local mail programs log in to the SMTP server: not offered, offered, or required
// before MAIL.
enum class SmtpServerAuth { kNo, kYes, kRequired };

// Where a password may come in clear (POP3 USER/PASS, IMAP LOGIN and AUTHENTICATE PLAIN) on a
// connection without TLS: from anywhere, only from this computer, or nowhere. kDefault is LOCAL
// when the servers have a certificate (TLS_CERT_FILE), YES when they have none.
enum class PlaintextLogin { kDefault, kYes, kLocal, kNo };

// How a provider account's mail is collected: over POP3 (the described way) or IMAP.
enum class CollectProtocol { kPop3, kImap };

// How a provider client logs in: with the password (USER/PASS or APOP; the SMTP client's
// CRAM-MD5, PLAIN or LOGIN), or with an OAuth 2.0 access token by XOAUTH2 or OAUTHBEARER.
enum class OauthMechanism { kNone, kXoauth2, kOauthBearer };

struct LocalUser {
  std::string name;
  std::string password;  // plain; compared by the POP3 server
  std::string alias;     // the user's address at the provider
  bool operator==(const LocalUser&) const = default;
};

struct ProviderAccount {
  std::string server;
  std::string login;
  std::string password;  // plain in memory, scrambled in the file
  std::uint32_t port = defaults::kPop3Port;
  std::string deliverTo = "*";  // "*" = through the sorter, else a local user name
  std::uint32_t useApop = 0;
  // Options after the account line's remark ("tls=stls", "fingerprint=..."); written only when set.
  TlsMode tls = TlsMode::kNone;
  std::string fingerprint;  // 64 hex digits of the certificate's SHA-256; replaces the CA check
  OauthMechanism auth = OauthMechanism::kNone;  // "auth=xoauth2|oauthbearer"
  std::string oauth;  // "oauth=NAME": whose identity platform issues the tokens ("microsoft", "google")
  // "keep=DAYS": a downloaded message stays at the provider this many days (0: deleted at once;
  // kKeepForever: never deleted). Needs the provider's UIDL to tell the messages apart.
  std::int32_t keepDays = 0;
  std::uint32_t maxSizeKb = 0;  // "maxsize=KB": larger messages stay at the provider (0: no limit)
  // Option words this build does not know (a later version's, or a typo), as written: every
  // save writes them back after the known ones.
  std::vector<std::string> unknownWords{};
  CollectProtocol proto = CollectProtocol::kPop3;  // "proto=imap": the port is then an IMAP server's
  // "folders=INBOX,Name": the IMAP folders collected, in order (a blank, comma or "%" in a name
  // is written %20, %2C, %25); empty means INBOX alone.
  std::vector<std::string> folders{};
  std::string moveTo{};  // "after=move:FOLDER": what is no longer kept moves there instead of being deleted
  bool idle = false;   // "idle=yes": push, a connection waits in IDLE on the first folder
  bool operator==(const ProviderAccount&) const = default;
};

// A [Parameters] line this build does not know (a later version's key, or a mistyped one), as
// written, with the key of the known line it followed ("" before the first): every save writes
// it back in its place, so a downgrade or a typo loses nothing.
struct UnknownParameter {
  std::string after;
  std::string line;
  bool operator==(const UnknownParameter&) const = default;
};

struct ScheduleRecord {
  std::int32_t startHour = 0;
  std::int32_t startMinute = 0;
  std::int32_t endHour = 0;
  std::int32_t endMinute = 0;
  std::int32_t periodMinutes = 0;
  bool operator==(const ScheduleRecord&) const = default;
};

// Member names are the keys of quelma.cfg, spelled as the file spells them.
struct Configuration {
  std::string MailDropDir;  // ends with the path separator
  std::string QueueDir;     // ends with the path separator
  std::string LocalDomain;  // lower case
  std::string SMTPServer;
  std::uint16_t SMTPSport = defaults::kSmtpPort;
  std::string PostMaster;
  std::string Daemon;
  std::string Boss;
  bool UseLAN = true;
  std::string DialUpRecord;
  bool DialupAutoOff = false;
  std::array<std::string, limits::kPhoneNumbers> DialupPhoneNumber;  // ends at the first empty
  std::int32_t DialupAttempts = 1;
  std::uint32_t LogFileSize = 0;  // kilobytes; 0 = no log file
  std::int32_t POP3_SRV_PORT = defaults::kPop3Port;
  std::int32_t SMTP_SRV_PORT = defaults::kSmtpPort;
  bool SMTP_USES_LOGIN = false;
  std::string SMTP_LOGIN_NAME;
  std::string SMTP_LOGIN_PASS;  // plain in memory, scrambled in the file
  std::uint32_t SERVERS_TIMEOUT = defaults::kServersTimeoutMs;
  std::string UNDISCLOSED_MAIL_TO;
  std::array<ScheduleRecord, limits::kScheduleDays> SchedulerRecord{};  // 0 = Monday
  // Keys after the described ones, written only when they differ from their defaults.
  TlsMode SMTP_TLS = TlsMode::kNone;  // NONE, STARTTLS or SSL
  std::string SMTP_TLS_FINGERPRINT;   // 64 hex digits, or empty
  std::string TLS_CA_FILE;    // extra trusted certificates (PEM) beside the system's
  std::string TLS_CERT_FILE;  // the local servers' certificate chain (PEM); TLS is off without it
  std::string TLS_KEY_FILE;   // its private key (PEM)
  std::int32_t POP3_SRV_TLS_PORT = 0;  // the local POP3 server with implicit TLS; 0 = none
  std::int32_t SMTP_SRV_TLS_PORT = 0;  // the local SMTP server with implicit TLS; 0 = none
  std::int32_t IMAP_SRV_PORT = defaults::kImapPort;  // the local IMAP server; 0 = off
  std::int32_t IMAP_SRV_TLS_PORT = 0;  // the local IMAP server with implicit TLS; 0 = none
  bool SMTP_EHLO = true;  // NO: the local SMTP server answers EHLO with "501 Syntax error"
  std::string RELAY_NETWORKS = defaults::kRelayNetworks;  // comma-separated networks (CIDR)
  std::int32_t MAX_SESSIONS = defaults::kMaxSessions;      // 1 serves one client at a time
  std::string LISTEN_ADDRESSES = defaults::kListenAddresses;  // comma-separated; "*" for all
  SmtpServerAuth SMTP_SRV_AUTH = SmtpServerAuth::kNo;      // NO, YES or REQUIRED
  std::int32_t AUTH_FAIL_LIMIT = defaults::kAuthFailLimit;  // 0: no lock-out
  PlaintextLogin PLAINTEXT_LOGIN = PlaintextLogin::kDefault;  // YES, NO or LOCAL
  std::int32_t ALERT_DISK_MB = defaults::kAlertDiskMb;          // 0: no alert
  std::int32_t ALERT_FAIL_HOURS = defaults::kAlertFailHours;    // 0: no alert
  std::int32_t ALERT_QUEUE_HOURS = defaults::kAlertQueueHours;  // 0: no alert
  OauthMechanism SMTP_AUTH = OauthMechanism::kNone;  // XOAUTH2 or OAUTHBEARER; none: the password
  std::string SMTP_OAUTH;  // whose identity platform issues the SMTP login's tokens
  // "OAUTH_<PLATFORM>_<FIELD>" keys (upper case, as written) that replace a platform's
  // endpoints, client id or scopes; list values keep their items comma-separated.
  std::map<std::string, std::string> oauthSettings;
  std::vector<UnknownParameter> unknownParameters;  // in the order the file had them
  std::vector<LocalUser> users;               // at most limits::kUsers
  std::vector<ProviderAccount> accounts;      // at most limits::kAccounts

  bool operator==(const Configuration&) const = default;
};

// The settings of a new installation in `programDir` (which ends with the separator). Only
// the record; CreateDefaultConfiguration also makes the directories and saves.
Configuration DefaultConfiguration(const std::string& programDir);

// The start values the loader reads the file over. SMTP_USES_LOGIN and UNDISCLOSED_MAIL_TO
// keep what they were: a file without those keys leaves them unchanged.
void ResetForLoad(Configuration& config);

// Index of the first user whose name equals `name` ignoring ASCII case, or -1.
int FindLocalUser(const Configuration& config, std::string_view name);

// A SHA-256 fingerprint as the settings keep it: 64 hex digits, colons and blanks dropped,
// upper case; empty for anything else.
std::string NormalizeFingerprint(std::string_view text);

// The local servers offer TLS only with both a certificate and a key.
inline bool LocalTlsConfigured(const Configuration& c) { return !c.TLS_CERT_FILE.empty() && !c.TLS_KEY_FILE.empty(); }

// PLAINTEXT_LOGIN as it applies: the setting, or its default for the certificate setting.
PlaintextLogin DefaultPlaintextLogin(const Configuration& c);
PlaintextLogin EffectivePlaintextLogin(const Configuration& c);
// Whether a password may come in clear on this connection: always once TLS is up.
bool PlaintextLoginAllowed(const Configuration& c, bool secure, bool fromThisComputer);
// "YES", "LOCAL" or "NO" (the setting as it applies); and back, ignoring case.
std::string_view PlaintextLoginName(PlaintextLogin value);
std::optional<PlaintextLogin> ParsePlaintextLogin(std::string_view text);

// "XOAUTH2" or "OAUTHBEARER" as the settings and the wire spell them; empty for none.
std::string_view OauthMechanismName(OauthMechanism mechanism);

// "keep=" as the settings file and the command line write it: "forever" or the days.
std::string KeepDaysText(std::int32_t days);
// "forever", or days from 0 to kMaxKeepDays. Nothing else is a keep value: the file reader
// takes it as "forever", so that a slip in the file never deletes mail someone wanted kept.
std::optional<std::int32_t> ParseKeepDays(std::string_view text);

// An IMAP folder's name as an account option writes it: blanks, commas, "%" and control bytes as
// "%" and two hexadecimal digits; and back (nothing for a name that is empty, longer than 200
// bytes or holds a "%" not followed by two hexadecimal digits).
std::string FolderNameText(std::string_view name);
std::optional<std::string> ParseFolderName(std::string_view text);
// "folders=": names separated by commas; one that cannot be read is dropped, at most 32 kept.
std::vector<std::string> ParseFolderList(std::string_view text);
std::string FolderListText(const std::vector<std::string>& folders);
// The folders an account collects: its "folders=", or INBOX alone.
std::vector<std::string> CollectedFolders(const ProviderAccount& account);
// The port an account line without one means: POP3's 110 or 995, IMAP's 143 or 993.
std::uint32_t DefaultAccountPort(CollectProtocol proto, TlsMode tls);

// Removes every byte of value 32 or less (blanks, tabs, control characters).
void SqueezeBlanks(std::string& text);

}  // namespace quelma::config
