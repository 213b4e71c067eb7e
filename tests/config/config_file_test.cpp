// quelma.cfg: the exact bytes written, round trips, and what the reader makes of any line.
#include <gtest/gtest.h>

#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "config/config_file.h"
#include "config/password_scramble.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "sorting/sorter_rules.h"
#include "support/temp_dir.h"

namespace quelma::config {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

constexpr char kSep = platform::kPathSeparator;

struct Program {
  TempDir dir;
  sorting::SorterFile sorter{sorting::SorterFilePath(dir.path())};

  LoadResult load(Configuration& config) { return sorting::LoadConfigurationChecked(dir.path(), sorter, config); }

  Configuration loadText(const std::string& text) {
    WriteAll(ConfigFilePath(dir.path()), text);
    Configuration config;
    EXPECT_EQ(load(config).status, LoadStatus::kLoaded);
    return config;
  }
};

std::string DefaultFileFor(const std::string& dir) {
  return "# Редактирование этого файла вручную может привести к непредсказуемому\r\n"
         "# поведению программы. Используйте диалоги!\r\n"
         "[Parameters]\r\n"
         "MailDropDir = " + dir + "maildrop" + kSep + "\r\n"
         "QueueDir = " + dir + "queue" + kSep + "\r\n"
         "LocalDomain = mydomain\r\n"
         "SMTPServer = 127.0.0.1\r\n"
         "SMTPSport = 25\r\n"
         "PostMaster = postmaster\r\n"
         "Daemon = daemon\r\n"
         "Boss = \r\n"
         "UseLAN = YES\r\n"
         "DialUpRecord = \r\n"
         "DialupAutoOff = NO\r\n"
         "DialupAttempts = 1\r\n"
         "LogFileSize = 4\r\n"
         "POP3_SRV_PORT = 110\r\n"
         "SMTP_SRV_PORT = 25\r\n"
         "SMTP_USES_LOGIN = 0\r\n"
         "SMTP_LOGIN_NAME = \r\n"
         "SMTP_LOGIN_PASS = \r\n"
         "SERVERS_TIMEOUT = 45000\r\n"
         "UNDISCLOSED_MAIL_TO = \r\n"
         "SchedulerRecord0 = 00:00--00:00--0000\r\n"
         "SchedulerRecord1 = 00:00--00:00--0000\r\n"
         "SchedulerRecord2 = 00:00--00:00--0000\r\n"
         "SchedulerRecord3 = 00:00--00:00--0000\r\n"
         "SchedulerRecord4 = 00:00--00:00--0000\r\n"
         "SchedulerRecord5 = 00:00--00:00--0000\r\n"
         "SchedulerRecord6 = 00:00--00:00--0000\r\n"
         "[POP3accounts]\r\n"
         "127.0.0.1 postmaster ; -110-0-*\r\n"
         "[Users]\r\n"
         "postmaster  ; \r\n"
         "daemon  ; \r\n";
}

TEST(ConfigFile, MissingFileGivesTheDefaultsTheirDirectoriesAndTheExactFile) {
  Program program;
  Configuration config;
  config.UNDISCLOSED_MAIL_TO = "leftover";
  const LoadResult result = program.load(config);
  EXPECT_EQ(result.status, LoadStatus::kCreatedDefaults);
  EXPECT_EQ(result.save, SaveResult::kSaved);
  EXPECT_EQ(config, DefaultConfiguration(program.dir.path()));
  EXPECT_TRUE(platform::IsDirectory(program.dir.file("maildrop")));
  EXPECT_TRUE(platform::IsDirectory(program.dir.file("queue")));
  EXPECT_EQ(ReadAll(ConfigFilePath(program.dir.path())), DefaultFileFor(program.dir.path()));

  Configuration again;
  EXPECT_EQ(program.load(again).status, LoadStatus::kLoaded);
  EXPECT_EQ(again, config);
}

TEST(ConfigFile, MakingTheDefaultsLeavesTheSorterRulesAlone) {
  // Only the two default users exist then; a rule check would strip every other recipient.
  Program program;
  const std::string rules = "# 1\r\n# 2\r\n\r\nFrom\r\nx\r\nivan\r\n1\r\n";
  WriteAll(program.sorter.path(), rules);
  Configuration config;
  EXPECT_EQ(program.load(config).status, LoadStatus::kCreatedDefaults);
  EXPECT_EQ(ReadAll(program.sorter.path()), rules);
}

TEST(ConfigFile, ParametersHeaderAloneGivesTheStartValues) {
  Program program;
  const Configuration config = program.loadText("[Parameters]\r\n");
  Configuration expected;
  ResetForLoad(expected);
  EXPECT_EQ(config, expected);
  EXPECT_TRUE(config.users.empty());
  EXPECT_TRUE(config.accounts.empty());
  EXPECT_EQ(config.SMTPServer, "");
  EXPECT_EQ(config.LogFileSize, 0u);
}

Configuration FullConfiguration(const std::string& dir) {
  Configuration c = DefaultConfiguration(dir);
  c.MailDropDir = dir + "почта с пробелами" + kSep;
  c.QueueDir = dir + "очередь" + kSep;
  c.LocalDomain = "контора.рф";
  c.SMTPServer = "smtp.provider.example";
  c.SMTPSport = 2525;
  c.PostMaster = std::string(29, 'p');
  c.Daemon = "демон";
  c.Boss = std::string(28, 'b') + "Z";
  c.UseLAN = false;
  c.DialUpRecord = "Мой провайдер (основной)";
  c.DialupAutoOff = true;
  for (std::size_t i = 0; i < c.DialupPhoneNumber.size(); ++i) c.DialupPhoneNumber[i] = "8 (495) 123-45-" + std::to_string(i);
  c.DialupAttempts = 10;
  c.LogFileSize = 999;
  c.POP3_SRV_PORT = 11110;
  c.SMTP_SRV_PORT = 2525;
  c.SMTP_USES_LOGIN = true;
  c.SMTP_LOGIN_NAME = "Иван Петров";
  c.SMTP_LOGIN_PASS = "секрет с пробелом;и=знаками";
  c.SERVERS_TIMEOUT = 240000;
  c.UNDISCLOSED_MAIL_TO = "ivan,пётр,boss@example.com";
  for (int d = 0; d < 7; ++d) c.SchedulerRecord[d] = ScheduleRecord{d, 5 * d, 23 - d, 59 - d, 1439 - d};
  c.users.clear();
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    c.users.push_back(LocalUser{i == 0 ? std::string(29, 'p') : "пользователь" + n, "пароль" + n.substr(0, 4),
                                "user" + n + "@provider.ru"});
  }
  c.accounts.clear();
  for (std::uint32_t i = 0; i < 25; ++i) {
    c.accounts.push_back(ProviderAccount{"pop" + std::to_string(i) + ".provider.ru", "логин" + std::to_string(i),
                                         std::string(20, static_cast<char>('A' + i)), 110, "*", 0, {}, {}, {}, {}});
  }
  c.accounts[1].port = 30000;
  c.accounts[1].useApop = 1;
  c.accounts[1].password = "короткий";
  c.accounts[1].deliverTo = "пользователь7";
  c.accounts[2].tls = TlsMode::kImplicit;
  c.accounts[2].fingerprint = std::string(64, 'A');
  c.accounts[3].tls = TlsMode::kStartTls;
  c.accounts[3].auth = OauthMechanism::kXoauth2;
  c.accounts[3].oauth = "microsoft";
  c.accounts[4].auth = OauthMechanism::kOauthBearer;
  c.SMTP_TLS = TlsMode::kStartTls;
  c.SMTP_TLS_FINGERPRINT = std::string(32, '0') + std::string(32, 'F');
  c.TLS_CA_FILE = "C:\\Program Files\\quelma\\ca.pem";
  c.TLS_CERT_FILE = "/etc/quelma/cert.pem";
  c.TLS_KEY_FILE = "/etc/quelma/key with blank.pem";
  c.POP3_SRV_TLS_PORT = 995;
  c.SMTP_SRV_TLS_PORT = 465;
  c.IMAP_SRV_PORT = 0;
  c.IMAP_SRV_TLS_PORT = 993;
  c.SMTP_EHLO = false;
  c.RELAY_NETWORKS = "10.0.0.0/8,192.168.5.0/24,fd00::/8";
  c.MAX_SESSIONS = 1;
  c.LISTEN_ADDRESSES = "192.168.1.1,::1";
  c.SMTP_SRV_AUTH = SmtpServerAuth::kRequired;
  c.AUTH_FAIL_LIMIT = 0;
  c.PLAINTEXT_LOGIN = PlaintextLogin::kNo;
  c.SMTP_AUTH = OauthMechanism::kOauthBearer;
  c.SMTP_OAUTH = "google";
  c.oauthSettings = {{"OAUTH_MICROSOFT_CLIENT_ID", "0f1e2d3c-aaaa"},
                     {"OAUTH_MICROSOFT_SCOPES", "offline_access,https://outlook.office.com/SMTP.Send"},
                     {"OAUTH_OFFICE_TOKEN_URL", "https://127.0.0.1:8443/token?tenant=x"}};
  return c;
}

TEST(ConfigFile, FullConfigurationSurvivesSaveAndLoad) {
  Program program;
  Configuration saved = FullConfiguration(program.dir.path());
  ASSERT_EQ(SaveConfiguration(program.dir.path(), saved), SaveResult::kSaved);
  Configuration loaded;
  ASSERT_EQ(program.load(loaded).status, LoadStatus::kLoaded);
  EXPECT_EQ(loaded, saved);
  EXPECT_EQ(FindLocalUser(loaded, loaded.PostMaster), 0) << "a 29-character role name still matches";
}

TEST(ConfigFile, NewerSettingsGoAfterTheDescribedOnesAndAccountOptionsAfterTheRemark) {
  Program program;
  Configuration c = DefaultConfiguration(program.dir.path());
  c.accounts[0].tls = TlsMode::kImplicit;
  c.accounts[0].port = 995;
  c.accounts[0].keepDays = 14;
  c.accounts[0].maxSizeKb = 5120;
  c.accounts.push_back(c.accounts[0]);
  c.accounts[1].keepDays = kKeepForever;
  c.accounts[1].maxSizeKb = 0;
  c.accounts.push_back(c.accounts[1]);
  c.accounts[2].proto = CollectProtocol::kImap;
  c.accounts[2].port = 993;
  c.accounts[2].folders = {"INBOX", "Рабочие письма", "a,b%c"};
  c.accounts[2].moveTo = "[Gmail]/All Mail";
  c.accounts[2].idle = true;
  c.SMTP_TLS = TlsMode::kImplicit;
  ASSERT_EQ(SaveConfiguration(program.dir.path(), c), SaveResult::kSaved);
  const std::string text = ReadAll(ConfigFilePath(program.dir.path()));
  EXPECT_NE(text.find("SchedulerRecord6 = 00:00--00:00--0000\r\nSMTP_TLS = SSL\r\n[POP3accounts]\r\n"), std::string::npos);
  EXPECT_NE(text.find("127.0.0.1 postmaster ; -995-0-* tls=ssl keep=14 maxsize=5120\r\n"), std::string::npos);
  EXPECT_NE(text.find("127.0.0.1 postmaster ; -995-0-* tls=ssl keep=forever\r\n"), std::string::npos);
  EXPECT_NE(text.find("127.0.0.1 postmaster ; -993-0-* tls=ssl keep=forever proto=imap folders=INBOX,"
                      "Рабочие%20письма,a%2Cb%25c after=move:[Gmail]/All%20Mail idle=yes\r\n"),
            std::string::npos);
  EXPECT_EQ(program.loadText(text).accounts, c.accounts);
}

// The IMAP server's ports come after every other newer key, and only away from their defaults
// (143 and none), so that a default file stays as it was.
TEST(ConfigFile, ImapPortsAreWrittenLastAndOnlyAwayFromTheirDefaults) {
  const struct Case {
    std::int32_t port, tlsPort;
    const char* lines;  // what follows SMTP_OAUTH up to [POP3accounts]
  } cases[] = {
      {143, 0, ""},
      {0, 0, "IMAP_SRV_PORT = 0\r\n"},
      {143, 993, "IMAP_SRV_TLS_PORT = 993\r\n"},
      {1143, 1993, "IMAP_SRV_PORT = 1143\r\nIMAP_SRV_TLS_PORT = 1993\r\n"},
  };
  for (const Case& c : cases) {
    Program program;
    Configuration config = DefaultConfiguration(program.dir.path());
    config.SMTP_OAUTH = "google";
    config.IMAP_SRV_PORT = c.port;
    config.IMAP_SRV_TLS_PORT = c.tlsPort;
    const std::string text = FormatConfiguration(config);
    EXPECT_NE(text.find("SMTP_OAUTH = google\r\n" + std::string(c.lines) + "[POP3accounts]"), std::string::npos) << text;
    const Configuration again = program.loadText(text);
    EXPECT_EQ(again.IMAP_SRV_PORT, c.port);
    EXPECT_EQ(again.IMAP_SRV_TLS_PORT, c.tlsPort);
  }
}

// PLAINTEXT_LOGIN is written only when it differs from its default, which follows the
// certificate: LOCAL with TLS_CERT_FILE, YES without.
TEST(ConfigFile, PlaintextLoginIsWrittenOnlyWhenItDiffersFromItsDefault) {
  const struct Case {
    bool certificate;
    PlaintextLogin value;
    const char* line;  // nullptr: not written
    PlaintextLogin applies;
  } cases[] = {
      {false, PlaintextLogin::kDefault, nullptr, PlaintextLogin::kYes},
      {true, PlaintextLogin::kDefault, nullptr, PlaintextLogin::kLocal},
      {false, PlaintextLogin::kYes, nullptr, PlaintextLogin::kYes},
      {true, PlaintextLogin::kLocal, nullptr, PlaintextLogin::kLocal},
      {true, PlaintextLogin::kYes, "PLAINTEXT_LOGIN = YES\r\n", PlaintextLogin::kYes},
      {false, PlaintextLogin::kLocal, "PLAINTEXT_LOGIN = LOCAL\r\n", PlaintextLogin::kLocal},
      {false, PlaintextLogin::kNo, "PLAINTEXT_LOGIN = NO\r\n", PlaintextLogin::kNo},
      {true, PlaintextLogin::kNo, "PLAINTEXT_LOGIN = NO\r\n", PlaintextLogin::kNo},
  };
  for (const Case& c : cases) {
    Program program;
    Configuration config = DefaultConfiguration(program.dir.path());
    const std::string defaultText = FormatConfiguration(config);
    if (c.certificate) config.TLS_CERT_FILE = "cert.pem";
    config.PLAINTEXT_LOGIN = c.value;
    const std::string text = FormatConfiguration(config);
    const std::string withoutCertificate = c.certificate ? text.substr(0, text.find("TLS_CERT_FILE")) + text.substr(text.find("[POP3accounts]")) : text;
    if (c.line) {
      EXPECT_NE(text.find(std::string(c.line) + "[POP3accounts]"), std::string::npos) << text;
    } else {
      EXPECT_EQ(text.find("PLAINTEXT_LOGIN"), std::string::npos) << text;
      EXPECT_EQ(withoutCertificate, defaultText) << "nothing else changes";
    }
    EXPECT_EQ(EffectivePlaintextLogin(program.loadText(text)), c.applies) << text;
  }
}

// Keys of a later version or typos: each goes back where it stood, unchanged, through a save of
// any change; one whose neighbour is no longer written goes after the last line.
TEST(ConfigFile, UnknownKeysAndAccountWordsSurviveEverySaveInTheirPlace) {
  Program program;
  const std::string dir = program.dir.path();
  std::string text = DefaultFileFor(dir);
  const auto insertAfter = [&text](const std::string& line, const std::string& added) {
    const std::size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    text.insert(at + line.size(), added);
  };
  insertAfter("[Parameters]\r\n", "FUTURE_FIRST = 1\r\n");
  insertAfter("LocalDomain = mydomain\r\n", "LocalDomian = typo.ru\r\n\tindented = dropped\r\nSIEVE_SRV_PORT = 4190 ; later\r\n");
  insertAfter("SchedulerRecord6 = 00:00--00:00--0000\r\n", "MAX_SESSIONS = 30\r\nBos=x\r\n");
  insertAfter("127.0.0.1 postmaster ; -110-0-*", " sieve=yes tls=ssl push");
  const Configuration loaded = program.loadText(text);
  EXPECT_EQ(loaded.unknownParameters,
            (std::vector<UnknownParameter>{{"", "FUTURE_FIRST = 1"},
                                           {"LocalDomain", "LocalDomian = typo.ru"},
                                           {"LocalDomain", "SIEVE_SRV_PORT = 4190 ; later"},
                                           {"MAX_SESSIONS", "Bos=x"}}));
  EXPECT_EQ(loaded.accounts[0].unknownWords, (std::vector<std::string>{"sieve=yes", "push"}));
  EXPECT_EQ(loaded.accounts[0].tls, TlsMode::kImplicit);

  Configuration changed = loaded;
  changed.Boss = "postmaster";
  ASSERT_EQ(SaveConfiguration(dir, changed), SaveResult::kSaved);
  std::string expected = text;
  const auto replace = [&expected](const std::string& from, const std::string& to) {
    expected.replace(expected.find(from), from.size(), to);
  };
  replace("\tindented = dropped\r\n", "");
  replace("Boss = \r\n", "Boss = postmaster\r\n");
  replace(" sieve=yes tls=ssl push", " tls=ssl sieve=yes push");
  EXPECT_EQ(ReadAll(ConfigFilePath(dir)), expected);

  // MAX_SESSIONS back at its default is no longer written: its follower goes last.
  changed.MAX_SESSIONS = defaults::kMaxSessions;
  ASSERT_EQ(SaveConfiguration(dir, changed), SaveResult::kSaved);
  EXPECT_NE(ReadAll(ConfigFilePath(dir)).find("SchedulerRecord6 = 00:00--00:00--0000\r\nBos=x\r\n[POP3accounts]"),
            std::string::npos);
  Configuration again;
  ASSERT_EQ(program.load(again).status, LoadStatus::kLoaded);
  EXPECT_EQ(again.unknownParameters.size(), 4u);
  EXPECT_EQ(again.accounts, changed.accounts);
}

TEST(ConfigFile, EveryParameterListsTheLaterKeysAtTheirDefaultsToo) {
  const Configuration c = DefaultConfiguration("/q/");
  const std::vector<ParameterLine> every = EveryParameter(c);
  std::string keys;
  for (const ParameterLine& p : every) keys += p.key + " ";
  for (const char* key : {"MailDropDir ", "SchedulerRecord6 ", "SMTP_TLS ", "TLS_CERT_FILE ", "POP3_SRV_TLS_PORT ",
                          "SMTP_EHLO ", "RELAY_NETWORKS ", "MAX_SESSIONS ", "LISTEN_ADDRESSES ", "SMTP_SRV_AUTH ",
                          "AUTH_FAIL_LIMIT ", "SMTP_AUTH ", "SMTP_OAUTH ", "IMAP_SRV_PORT ", "IMAP_SRV_TLS_PORT "}) {
    EXPECT_NE(keys.find(key), std::string::npos) << key;
  }
  // What the file would hold of each: a default file is exactly the written lines.
  std::string written;
  for (const ParameterLine& p : every) written += p.key + " = " + p.value + "\r\n";
  EXPECT_NE(written.find("MAX_SESSIONS = 20\r\nLISTEN_ADDRESSES = *\r\nSMTP_SRV_AUTH = NO\r\n"), std::string::npos);
  EXPECT_EQ(FormatConfiguration(c), DefaultFileFor("/q/")) << "the file itself still leaves them out";
}

#ifndef _WIN32
TEST(ConfigFile, SavedForTheOwnerAloneWhateverModeTheOldFileHad) {
  Program program;
  const std::string path = ConfigFilePath(program.dir.path());
  WriteAll(path, DefaultFileFor(program.dir.path()));
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  Configuration c = program.loadText(ReadAll(path));
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(SaveConfiguration(program.dir.path(), c), SaveResult::kSaved);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  sorting::SorterRuleTable rules{{"Subject", "x", "postmaster", 0, false}};
  WriteAll(program.sorter.path(), "");
  ASSERT_EQ(::chmod(program.sorter.path().c_str(), 0644), 0);
  ASSERT_TRUE(sorting::WriteSorterRules(program.sorter, rules));
  ASSERT_EQ(::stat(program.sorter.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}
#endif

TEST(ConfigFile, SaveLowerCasesTheDomainAndBarsComeBackAsBlanks) {
  Program program;
  Configuration c = DefaultConfiguration(program.dir.path());
  c.LocalDomain = "КОНТОРА.RU";
  c.DialUpRecord = "a|b c";
  ASSERT_EQ(SaveConfiguration(program.dir.path(), c), SaveResult::kSaved);
  EXPECT_EQ(c.LocalDomain, "контора.ru");
  EXPECT_NE(ReadAll(ConfigFilePath(program.dir.path())).find("DialUpRecord = a|b|c\r\n"), std::string::npos);
  Configuration loaded;
  program.load(loaded);
  EXPECT_EQ(loaded.DialUpRecord, "a b c");
}

TEST(ConfigFile, PasswordsAtTheEdgesOfWhatTheFileKeeps) {
  Program program;
  Configuration c = DefaultConfiguration(program.dir.path());
  c.SMTP_LOGIN_PASS = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  c.accounts = {ProviderAccount{"h", "l", std::string(20, 'x'), 110, "*", 0, {}, {}, {}, {}},
                ProviderAccount{"h", "l", std::string(21, 'y'), 110, "*", 0, {}, {}, {}, {}},
                ProviderAccount{"h", "l", "1", 110, "*", 0, {}, {}, {}, {}},
                ProviderAccount{"h", "l", "zyxwvutsrqponmlkjihgfedcba0123", 110, "*", 0, {}, {}, {}, {}}};
  c.users = {LocalUser{"u", "=pass", ""}, LocalUser{"v", "pa;ss", ""}};
  ASSERT_EQ(SaveConfiguration(program.dir.path(), c), SaveResult::kSaved);
  Configuration loaded;
  program.load(loaded);
  EXPECT_EQ(loaded.SMTP_LOGIN_PASS, c.SMTP_LOGIN_PASS.substr(0, 32));
  EXPECT_EQ(loaded.accounts[3].password, c.accounts[3].password.substr(0, 24)) << "the first 24 come back intact";
  EXPECT_EQ(loaded.accounts[0], c.accounts[0]);
  EXPECT_EQ(loaded.accounts[1].password.size(), 21u) << "the remark was cut inside -110-0-*";
  EXPECT_EQ(loaded.accounts[1].port, 110u);
  EXPECT_EQ(loaded.accounts[2].password, "1");
  EXPECT_EQ(loaded.users[0].password, "pass");
  EXPECT_EQ(loaded.users[1].password, "pa");
}

struct KeyCase {
  std::string lines;  // after [Parameters]
  std::function<bool(const Configuration&)> holds;
  const char* what;
};

TEST(ConfigFile, KeyRulesRangesAndCuts) {
  using C = const Configuration&;
  const std::string longValue(2000, 'v');
  const KeyCase cases[] = {
      {"SMTPSport = 30001\r\n", [](C c) { return c.SMTPSport == 25; }, "port above 30000"},
      {"SMTPSport = 65636\r\n", [](C c) { return c.SMTPSport == 100; }, "kept modulo 65536"},
      {"SMTPSport = 1234567\r\n", [](C c) { return c.SMTPSport == 12345; }, "only 5 characters"},
      {"SMTPSport = abc\r\n", [](C c) { return c.SMTPSport == 25; }, "no digits"},
      {"SERVERS_TIMEOUT = 9999\r\n", [](C c) { return c.SERVERS_TIMEOUT == 45000; }, "timeout too small"},
      {"SERVERS_TIMEOUT = 240001\r\n", [](C c) { return c.SERVERS_TIMEOUT == 45000; }, "timeout too big"},
      {"SERVERS_TIMEOUT = -1\r\n", [](C c) { return c.SERVERS_TIMEOUT == 45000; }, "compared unsigned"},
      {"SERVERS_TIMEOUT = 10000\r\n", [](C c) { return c.SERVERS_TIMEOUT == 10000; }, "timeout lowest"},
      {"LogFileSize = 1000\r\n", [](C c) { return c.LogFileSize == 1000; }, "1000 stays"},
      {"LogFileSize = 1001\r\n", [](C c) { return c.LogFileSize == 999; }, "1001 gives 999"},
      {"LogFileSize = x\r\n", [](C c) { return c.LogFileSize == 0; }, "no number keeps the start value"},
      {"UseLAN = yes\r\n", [](C c) { return c.UseLAN; }, "yes"},
      {"UseLAN = 1\r\n", [](C c) { return !c.UseLAN; }, "1 is not YES"},
      {"DialUpAutoOff = Yes\r\n", [](C c) { return c.DialupAutoOff; }, "either spelling"},
      {"MailDropDir = \r\n", [](C c) { return c.MailDropDir == std::string(".") + kSep; }, "empty dir"},
      {std::string("MailDropDir = a|b\r\n"), [](C c) { return c.MailDropDir == std::string("a b") + kSep; },
       "separator appended, bars"},
      {std::string("maildropdir = x") + kSep + "\r\n", [](C c) { return c.MailDropDir == std::string("x") + kSep; },
       "whole keys ignore case"},
      {"MailDropDir = " + longValue + "\r\n", [](C c) { return c.MailDropDir.size() == 260 && c.MailDropDir.back() == kSep; },
       "path cut to its capacity"},
      {"DialupPhoneNumber5 = 123\r\n", [](C c) { return c.DialupPhoneNumber[0].empty() && c.DialupPhoneNumber[5] == "123"; },
       "the list ends at the empty entry 0"},
      {"dialupphonenumber0 = 123\r\n", [](C c) { return c.DialupPhoneNumber[0].empty(); }, "prefix keys keep case"},
      {"DialupPhoneNumber = 1|2\r\n", [](C c) { return c.DialupPhoneNumber[0] == "1 2"; }, "no index is 0"},
      {"DialupPhoneNumber1 = b\r\nDialupPhoneNumber0 = a\r\n",
       [](C c) { return c.DialupPhoneNumber[0] == "a" && c.DialupPhoneNumber[1].empty(); }, "entry behind emptied"},
      {"DialupPhoneNumber20 = x\r\nDialupPhoneNumber-1 = y\r\n",
       [](C c) { return c.DialupPhoneNumber == Configuration{}.DialupPhoneNumber; }, "indexes out of range"},
      {"SchedulerRecord9 = 08:30--17:45--0060\r\n",
       [](C c) { return c.SchedulerRecord[0] == ScheduleRecord{8, 30, 17, 45, 60}; }, "9 gives record 0"},
      {"SchedulerRecordX = 01:02--03:04--0005\r\n", [](C c) { return c.SchedulerRecord[0].periodMinutes == 5; },
       "a letter gives record 0"},
      {"SchedulerRecord6 = 08:30--1\r\n",
       [](C c) { return c.SchedulerRecord[6] == ScheduleRecord{8, 30, 1, 0, 0}; }, "unread fields keep values"},
      {"SchedulerRecord3 = 12:34--56:78--12345\r\n",
       [](C c) { return c.SchedulerRecord[3] == ScheduleRecord{12, 34, 56, 78, 1234}; }, "taken as written"},
      {"LocalDomain = ДОМЕН.RU\r\n", [](C c) { return c.LocalDomain == "домен.ru"; }, "Cyrillic lower case"},
      {"POP3_SRV_PORT = 0\r\nSMTP_SRV_PORT = 0\r\n",
       [](C c) { return c.POP3_SRV_PORT == 110 && c.SMTP_SRV_PORT == 25; }, "0 ports"},
      {"POP3_SRV_PORT = 65535\r\nSMTP_SRV_PORT = 1\r\n",
       [](C c) { return c.POP3_SRV_PORT == 65535 && c.SMTP_SRV_PORT == 1; }, "1-65535 taken"},
      {"POP3_SRV_PORT = 70000\r\nSMTP_SRV_PORT = -25\r\n",
       [](C c) { return c.POP3_SRV_PORT == 110 && c.SMTP_SRV_PORT == 25; }, "no socket's port is the default"},
      {"SMTP_USES_LOGIN = 1yes\r\n", [](C c) { return c.SMTP_USES_LOGIN; }, "first character 1"},
      {"DialupAttempts = -3\r\n", [](C c) { return c.DialupAttempts == -3; }, "attempts as written"},
      {"SMTPServer = " + longValue + "\r\n", [](C c) { return c.SMTPServer.size() == 64; }, "server cut"},
      {"UNDISCLOSED_MAIL_TO = " + longValue + "\r\n", [](C c) { return c.UNDISCLOSED_MAIL_TO.size() == 998; },
       "list cut"},
      {"Boss = a\r\nBoss = b\r\n", [](C c) { return c.Boss == "b"; }, "the later line wins"},
      {" Boss = a\r\n", [](C c) { return c.Boss.empty(); }, "indented line ignored"},
      {"Boss=a\r\n", [](C c) { return c.Boss.empty(); }, "key against ="},
      {" [Users]\r\nu p ; a\r\n", [](C c) { return c.users.empty(); }, "indented header ignored"},
      {"[Other]\r\nBoss = a\r\n", [](C c) { return c.Boss.empty(); }, "unknown section skipped"},
      {"[users]\r\n[x p ; a\r\nu p ; a\r\n", [](C c) { return c.users.empty(); }, "user line with ["},
      {"[USERS]\r\n" + std::string(40, 'n') + " " + std::string(20, 'p') + " ; " + std::string(90, 'a') + "\r\n",
       [](C c) {
         return c.users.size() == 1 && c.users[0].name.size() == 29 && c.users[0].password.size() == 10 &&
                c.users[0].alias.size() == 64;
       },
       "user fields cut"},
      {"[pop3accounts]\r\nh l ; ABCDEF\r\n",
       [](C c) { return c.accounts.size() == 1 && c.accounts[0].port == 110 && c.accounts[0].deliverTo == "*"; },
       "remark without -"},
      {"[pop3accounts]\r\nh l ; -0-7-*\r\nh l ; -30001-1\r\nh l ; -995-x-y\r\n",
       [](C c) {
         return c.accounts.size() == 3 && c.accounts[0].port == 110 && c.accounts[0].useApop == 7 &&
                c.accounts[1].port == 110 && c.accounts[1].useApop == 1 && c.accounts[1].deliverTo == "*" &&
                c.accounts[2].port == 995 && c.accounts[2].useApop == 0;
       },
       "account numbers"},
      {"Boss = x" + std::string(3000, 'y') + " ; r\r\nDaemon = d\r\n",
       [](C c) { return c.Boss.size() == 64 && c.Daemon == "d"; }, "an over-long line is several lines"},
      {"SMTP_TLS = ssl\r\n", [](C c) { return c.SMTP_TLS == TlsMode::kImplicit; }, "SSL in any case"},
      {"SMTP_TLS = STARTTLS\r\n", [](C c) { return c.SMTP_TLS == TlsMode::kStartTls; }, "STARTTLS"},
      {"SMTP_TLS = STARTLS\r\n", [](C c) { return c.SMTP_TLS == TlsMode::kStartTls; }, "a slip never means plain"},
      {"SMTP_TLS = none\r\n", [](C c) { return c.SMTP_TLS == TlsMode::kNone; }, "NONE"},
      {"SMTP_TLS_FINGERPRINT = ab:" + std::string(62, 'c') + "\r\n",
       [](C c) { return c.SMTP_TLS_FINGERPRINT == "AB" + std::string(62, 'C'); }, "colons dropped, upper case"},
      {"SMTP_TLS_FINGERPRINT = " + std::string(63, 'a') + "\r\n", [](C c) { return c.SMTP_TLS_FINGERPRINT.empty(); },
       "63 digits are no fingerprint"},
      {"SMTP_TLS_FINGERPRINT = " + std::string(63, 'a') + "g\r\n", [](C c) { return c.SMTP_TLS_FINGERPRINT.empty(); },
       "nor is a non-hex digit"},
      {"POP3_SRV_TLS_PORT = 70000\r\nSMTP_SRV_TLS_PORT = -1\r\n",
       [](C c) { return c.POP3_SRV_TLS_PORT == 0 && c.SMTP_SRV_TLS_PORT == 0; }, "TLS ports out of range are off"},
      {"IMAP_SRV_PORT = 0\r\nIMAP_SRV_TLS_PORT = 993\r\n",
       [](C c) { return c.IMAP_SRV_PORT == 0 && c.IMAP_SRV_TLS_PORT == 993; }, "0 turns the IMAP server off"},
      {"IMAP_SRV_PORT = 70000\r\nIMAP_SRV_TLS_PORT = 65536\r\n",
       [](C c) { return c.IMAP_SRV_PORT == 143 && c.IMAP_SRV_TLS_PORT == 0; }, "IMAP ports out of range"},
      {"IMAP_SRV_PORT = -143\r\nIMAP_SRV_TLS_PORT = x\r\n",
       [](C c) { return c.IMAP_SRV_PORT == 143 && c.IMAP_SRV_TLS_PORT == 0; }, "IMAP ports no socket can take"},
      {"IMAP_SRV_PORT = 1143\r\n", [](C c) { return c.IMAP_SRV_PORT == 1143; }, "an IMAP port as written"},
      {"SMTP_EHLO = no\r\n", [](C c) { return !c.SMTP_EHLO; }, "EHLO off"},
      {"SMTP_EHLO = maybe\r\n", [](C c) { return c.SMTP_EHLO; }, "only NO turns EHLO off"},
      {"MAX_SESSIONS = 0\r\nAUTH_FAIL_LIMIT = -1\r\n",
       [](C c) { return c.MAX_SESSIONS == 20 && c.AUTH_FAIL_LIMIT == 10; }, "limits out of range take the default"},
      {"MAX_SESSIONS = 500\r\nAUTH_FAIL_LIMIT = 0\r\n",
       [](C c) { return c.MAX_SESSIONS == 500 && c.AUTH_FAIL_LIMIT == 0; }, "the largest sessions, no lock-out"},
      {"SMTP_SRV_AUTH = yes\r\n", [](C c) { return c.SMTP_SRV_AUTH == SmtpServerAuth::kYes; }, "AUTH offered"},
      {"SMTP_SRV_AUTH = REQUIERD\r\n", [](C c) { return c.SMTP_SRV_AUTH == SmtpServerAuth::kRequired; },
       "a slip never opens the server"},
      {"LISTEN_ADDRESSES =\r\n", [](C c) { return c.LISTEN_ADDRESSES == "*"; }, "no address is every address"},
      {"PLAINTEXT_LOGIN = local\r\n", [](C c) { return c.PLAINTEXT_LOGIN == PlaintextLogin::kLocal; }, "LOCAL in any case"},
      {"PLAINTEXT_LOGIN = Yes\r\n", [](C c) { return c.PLAINTEXT_LOGIN == PlaintextLogin::kYes; }, "YES in any case"},
      {"PLAINTEXT_LOGIN = localhost\r\n", [](C c) { return c.PLAINTEXT_LOGIN == PlaintextLogin::kNo; },
       "a slip refuses passwords in clear"},
      {"PLAINTEXT_LOGIN =\r\nTLS_CERT_FILE = c.pem\r\n",
       [](C c) { return c.PLAINTEXT_LOGIN == PlaintextLogin::kDefault && EffectivePlaintextLogin(c) == PlaintextLogin::kLocal; },
       "no value: the default, LOCAL with a certificate"},
      {"RELAY_NETWORKS = 10.0.0.0/8, 127.0.0.2 ; office\r\nLISTEN_ADDRESSES = 192.168.1.1 ,\t::1  10.0.0.1,\r\n",
       [](C c) {
         return c.RELAY_NETWORKS == "10.0.0.0/8,127.0.0.2" && c.LISTEN_ADDRESSES == "192.168.1.1,::1,10.0.0.1";
       },
       "lists with blanks after the commas, a remark after them"},
      {"TLS_CERT_FILE = /a|b/c.pem\r\n", [](C c) { return c.TLS_CERT_FILE == "/a b/c.pem" && !LocalTlsConfigured(c); },
       "bars; no key, no local TLS"},
      {"[pop3accounts]\r\nh l ; -995-0-* tls=SSL fingerprint=" + std::string(64, 'b') +
           " keep=14\r\nh l ; -110-0-*\ttls=stls\r\nh l ; -110-0-* tls=whatever\r\nh l ; -110-0-* tls\r\n",
       [](C c) {
         return c.accounts.size() == 4 && c.accounts[0].tls == TlsMode::kImplicit &&
                c.accounts[0].fingerprint == std::string(64, 'B') && c.accounts[0].deliverTo == "*" &&
                c.accounts[1].tls == TlsMode::kStartTls && c.accounts[2].tls == TlsMode::kStartTls &&
                c.accounts[3].tls == TlsMode::kNone;
       },
       "account options after the remark; unknown ones skipped"},
      // A keep value the file cannot mean keeps the mail; a size limit it cannot mean is no limit.
      {"[pop3accounts]\r\nh l ; -1-0-* keep=0\r\nh l ; -1-0-* KEEP=Forever maxsize=1\r\nh l ; -1-0-* keep=3650\r\n"
       "h l ; -1-0-* keep=3651 maxsize=4194304\r\nh l ; -1-0-* keep=14d maxsize=10k\r\nh l ; -1-0-* keep=-2 maxsize=-5\r\n",
       [](C c) {
         const std::vector<std::pair<std::int32_t, std::uint32_t>> expected = {
             {0, 0}, {kKeepForever, 1}, {3650, 0}, {kKeepForever, 0}, {kKeepForever, 0}, {kKeepForever, 0}};
         std::vector<std::pair<std::int32_t, std::uint32_t>> read;
         for (const auto& a : c.accounts) read.push_back({a.keepDays, a.maxSizeKb});
         return read == expected;
       },
       "keep and maxsize values"},
      // An IMAP account without a port takes IMAP's; a folder name the file cannot mean is
      // dropped, and an "after=" it cannot mean stays an unknown word (nothing is deleted for it).
      {"[pop3accounts]\r\nh l ; x proto=IMAP tls=ssl folders=INBOX,,%zz,Sent%20Items after=move:Archive\r\n"
       "h l ; x proto=imap idle=yes after=moveto:X\r\nh l ; -7-0-* proto=imap after=delete idle=no\r\n"
       "h l ; x proto=smtp\r\n",
       [](C c) {
         const auto& a = c.accounts;
         return a.size() == 4 && a[0].proto == CollectProtocol::kImap && a[0].port == 993 &&
                a[0].folders == std::vector<std::string>{"INBOX", "Sent Items"} && a[0].moveTo == "Archive" &&
                a[1].port == 143 && a[1].idle && a[1].moveTo.empty() &&
                a[1].unknownWords == std::vector<std::string>{"after=moveto:X"} && a[2].port == 7 && !a[2].idle &&
                CollectedFolders(a[2]) == std::vector<std::string>{"INBOX"} && a[3].proto == CollectProtocol::kPop3 &&
                a[3].port == 110;
       },
       "IMAP account options"},
      {"[pop3accounts]\r\nh l ; -995-0-* tls=ssl auth=XOAuth2 oauth=Microsoft!\r\nh l ; -995-0-* auth=oauthbearer\r\n"
       "h l ; -995-0-* auth=password\r\n",
       [](C c) {
         return c.accounts.size() == 3 && c.accounts[0].auth == OauthMechanism::kXoauth2 &&
                c.accounts[0].oauth == "microsoft" && c.accounts[1].auth == OauthMechanism::kOauthBearer &&
                c.accounts[1].oauth.empty() && c.accounts[2].auth == OauthMechanism::kNone;
       },
       "OAuth options: mechanism in any case, the platform's name cleaned"},
      {"SMTP_AUTH = xoauth2\r\nSMTP_OAUTH = GOOGLE\r\noauth_google_scopes = https://mail.google.com/  extra ; r\r\n"
       "OAUTH_X_CLIENT_ID = a\r\nOAUTH_X_CLIENT_ID =\r\n",
       [](C c) {
         return c.SMTP_AUTH == OauthMechanism::kXoauth2 && c.SMTP_OAUTH == "google" && c.oauthSettings.size() == 1 &&
                c.oauthSettings.at("OAUTH_GOOGLE_SCOPES") == "https://mail.google.com/,extra";
       },
       "SMTP OAuth; platform keys upper-cased, a list value, an empty one removes the key"},
      {"SMTP_AUTH = CRAM-MD5\r\n", [](C c) { return c.SMTP_AUTH == OauthMechanism::kNone; },
       "any other method is the password"},
      {std::string("Boss = a\0b\r\nDaemon = \xff\x80\r\n", 25),
       [](C c) { return c.Boss == "a" && c.Daemon == "\xff\x80"; }, "NUL and high bytes"},
  };
  for (const auto& c : cases) {
    Program program;
    const Configuration config = program.loadText("[Parameters]\r\n" + c.lines);
    EXPECT_TRUE(c.holds(config)) << c.what;
  }
}

TEST(ConfigFile, TablesStopAtTheirMaximumCounts) {
  std::string text = "[Users]\r\n";
  for (int i = 0; i < 310; ++i) text += "u" + std::to_string(i) + " p ; a\r\n";
  text += "[POP3accounts]\r\n";
  for (int i = 0; i < 30; ++i) text += "h" + std::to_string(i) + " l ; -110-0-*\r\n";
  Program program;
  const Configuration config = program.loadText(text);
  EXPECT_EQ(config.users.size(), 300u);
  EXPECT_EQ(config.users.back().name, "u299");
  EXPECT_EQ(config.accounts.size(), 25u);
}

TEST(ConfigFile, KeysMissingFromTheFileKeepTheirEarlierLoginAndListSettings) {
  Program program;
  Configuration config;
  config.SMTP_USES_LOGIN = true;
  config.UNDISCLOSED_MAIL_TO = "ivan";
  WriteAll(ConfigFilePath(program.dir.path()), "[Parameters]\r\n");
  program.load(config);
  EXPECT_TRUE(config.SMTP_USES_LOGIN);
  EXPECT_EQ(config.UNDISCLOSED_MAIL_TO, "ivan");
}

TEST(ConfigFile, AnUnreadableFileIsNeitherReplacedNorOverwritten) {
  Program program;
  ASSERT_TRUE(platform::MakeDirectory(ConfigFilePath(program.dir.path())));  // quelma.cfg is a directory
  Configuration config = DefaultConfiguration(program.dir.path());
  config.Boss = "kept";
  const LoadResult result = program.load(config);
  EXPECT_EQ(result.status, LoadStatus::kUnreadable);
  EXPECT_EQ(config.Boss, "kept");
  EXPECT_TRUE(platform::IsDirectory(ConfigFilePath(program.dir.path())));
}

TEST(ConfigFile, EmptyFileLoadsAsNothing) {
  Program program;
  const Configuration config = program.loadText("");
  EXPECT_TRUE(config.users.empty());
  EXPECT_TRUE(config.MailDropDir.empty());
}

TEST(ConfigFile, SaveIntoAMissingDirectoryFailsAndWritesNothing) {
  Program program;
  Configuration config = DefaultConfiguration(program.dir.path());
  EXPECT_EQ(SaveConfiguration(program.dir.file("gone") + kSep, config), SaveResult::kCannotCreate);
  EXPECT_FALSE(platform::FileExists(program.dir.file("gone")));
}

TEST(ConfigFile, AccountsDeliveringToAMissingUserGoBackToTheSorter) {
  Program program;
  const Configuration config = program.loadText(
      "[Users]\r\nivan  ; \r\n[POP3accounts]\r\nh l ; -110-0-IVAN\r\nh l ; -110-0-petr\r\nh l ; -110-0-*x\r\n");
  ASSERT_EQ(config.accounts.size(), 3u);
  EXPECT_EQ(config.accounts[0].deliverTo, "IVAN");
  EXPECT_EQ(config.accounts[1].deliverTo, "*");
  EXPECT_EQ(config.accounts[2].deliverTo, "*x");
}

}  // namespace
}  // namespace quelma::config
