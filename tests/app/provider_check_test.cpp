// The settings check of the provider connections against scripted providers on 127.0.0.1:
// each fault gives its step, verdict and hint, and the check never gets past the login.
#include "app/provider_check.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <thread>

#include "app/provider_check_steps.h"
#include "app/settings_check.h"
#include "net/listener.h"
#include "support/free_port.h"
#include "net/tls.h"
#include "platform/text.h"
#include "support/fake_access_tokens.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace quelma::app {
namespace {

using testing::ScriptedServer;

struct Expected {
  std::string step;
  CheckVerdict verdict;
};

ProviderCheckContext Context(const std::string& dir, std::deque<std::string> tokens = {}, bool loginNeeded = false) {
  ProviderCheckContext context;
  context.programDir = dir;
  context.timeoutMs = 5000;
  context.tokens = [tokens, loginNeeded](const config::Configuration&, const oauth::OauthLogin&,
                                         const std::function<void(const std::string&)>&) {
    return std::unique_ptr<net::AccessTokenSource>(new testing::FakeAccessTokens(tokens, loginNeeded));
  };
  context.now = [] { return std::int64_t{1780000000}; };  // mid 2026
  return context;
}

void ExpectSteps(const CheckTarget& target, const std::vector<Expected>& expected, const std::string& hint,
                 const std::string& label) {
  ASSERT_EQ(target.steps.size(), expected.size()) << label << "\n" << FormatCheckTarget(target);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(target.steps[i].name, expected[i].step) << label;
    EXPECT_EQ(target.steps[i].verdict, expected[i].verdict) << label << ": " << target.steps[i].name << "\n"
                                                            << FormatCheckTarget(target);
    if (expected[i].verdict == CheckVerdict::kFailed || expected[i].verdict == CheckVerdict::kWarning) {
      EXPECT_NE(target.steps[i].hint.find(hint), std::string::npos) << label << ": " << target.steps[i].hint;
    }
  }
}

// What a test provider answers: each command word with its reply.
using Replies = std::map<std::string, std::string>;

ScriptedServer::Answer Answering(const Replies& replies) {
  return [replies](const std::string& line) -> std::optional<std::string> {
    std::string word = line.substr(0, line.find_first_of(" \r\n"));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto it = replies.find(word);
    if (it != replies.end()) return it->second;
    return word == "QUIT" ? std::string("\x01+OK bye\r\n") : std::string("-ERR unknown\r\n");
  };
}

// The provider's SMTP server on `port`, with a login or without.
config::Configuration SmtpSettings(std::uint16_t port, bool login) {
  config::Configuration config;
  config.LocalDomain = "office.test";
  config.SMTPServer = "127.0.0.1";
  config.SMTPSport = port;
  config.SMTP_USES_LOGIN = login;
  config.SMTP_LOGIN_NAME = "ivan";
  config.SMTP_LOGIN_PASS = "secret";
  return config;
}

const std::string kCapa = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
const std::string kOk = "+OK\r\n";
constexpr auto P = CheckVerdict::kPassed;
constexpr auto W = CheckVerdict::kWarning;
constexpr auto F = CheckVerdict::kFailed;
constexpr auto S = CheckVerdict::kSkipped;

TEST(Pop3AccountCheck, EachAnswerOfAPlainProviderGivesItsStepVerdictAndHint) {
  struct Case {
    std::string label;
    std::string greeting;
    Replies replies;
    std::int32_t keepDays;
    config::TlsMode tls;
    std::vector<Expected> steps;
    std::string hint;
  };
  const std::vector<Case> cases = {
      {"good account", "+OK ready\r\n", {{"USER", kOk}, {"PASS", kOk}, {"CAPA", kCapa}}, 0, config::TlsMode::kNone,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Вход", P}, {"Возможности", P}}, ""},
      {"wrong password", "+OK ready\r\n", {{"USER", kOk}, {"PASS", "-ERR [AUTH] invalid password\r\n"}}, 0,
       config::TlsMode::kNone,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Вход", F}, {"Возможности", S}},
       "quelma set-password account 0"},
      {"keep= without UIDL", "+OK ready\r\n", {{"USER", kOk}, {"PASS", kOk}, {"CAPA", "+OK\r\nUSER\r\n.\r\n"}}, 7,
       config::TlsMode::kNone,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Вход", P}, {"Возможности", W}}, "UIDL"},
      {"mailbox held by a session", "+OK ready\r\n", {{"USER", kOk}, {"PASS", "-ERR [IN-USE] Unable to lock maildrop\r\n"}},
       0, config::TlsMode::kNone,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Вход", F}, {"Возможности", S}}, "занят"},
      {"refused greeting", "-ERR go away\r\n", {}, 0, config::TlsMode::kNone,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", F}, {"Вход", S}, {"Возможности", S}}, "провайдера"},
      {"no STLS offered", "+OK ready\r\n", {{"CAPA", kCapa}}, 0, config::TlsMode::kStartTls,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Возможности", F}, {"TLS", S}, {"Вход", S}},
       "STLS"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ScriptedServer server(c.greeting, Answering(c.replies));
    config::Configuration config;
    config::ProviderAccount account;
    account.server = "127.0.0.1";
    account.port = server.port;
    account.login = "ivan";
    account.password = "secret";
    account.keepDays = c.keepDays;
    account.tls = c.tls;
    config.accounts.push_back(account);
    const CheckTarget target = CheckPop3Account(config, 0, Context(dir.path()));
    ExpectSteps(target, c.steps, c.hint, c.label);
    // Nothing is listed, fetched or deleted; the session ends with QUIT.
    const std::vector<std::string>& commands = server.finish();
    for (const std::string& command : commands) {
      for (const char* never : {"STAT", "LIST", "UIDL", "RETR", "DELE", "TOP"}) {
        EXPECT_FALSE(command.starts_with(never) || command.starts_with(platform::ToLowerAscii(never))) << c.label << ": " << command;
      }
    }
    // A server that refused its greeting gets nothing at all.
    if (!commands.empty()) {
      EXPECT_TRUE(commands.back().starts_with("quit") || commands.back().starts_with("QUIT")) << c.label;
    }
  }
}

// What a test IMAP provider answers: each command word (after the tag) with its untagged lines
// and the tagged status ("OK done", "NO ..."); LOGOUT says BYE and closes.
using ImapReplies = std::map<std::string, std::pair<std::string, std::string>>;

ScriptedServer::Answer AnsweringImap(const ImapReplies& replies) {
  return [replies](const std::string& line) -> std::optional<std::string> {
    const std::size_t space = line.find(' ');
    const std::string tag = line.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::string word = rest.substr(0, rest.find_first_of(" \r\n"));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "LOGOUT") return std::string("\x01* BYE bye\r\n" + tag + " OK done\r\n");
    // EXAMINE of a folder: its own reply when the table has "EXAMINE name".
    std::string key = word;
    if (word == "EXAMINE") {
      std::string folder = rest.substr(8);
      while (!folder.empty() && (folder.back() == '\n' || folder.back() == '\r')) folder.pop_back();
      if (folder.size() >= 2 && folder.front() == '"') folder = folder.substr(1, folder.size() - 2);
      key = "EXAMINE " + folder;
    }
    const auto it = replies.find(key);
    if (it == replies.end()) return tag + " BAD unknown\r\n";
    return it->second.first + tag + " " + it->second.second + "\r\n";
  };
}

const std::pair<std::string, std::string> kImapOk{"", "OK done"};
const std::pair<std::string, std::string> kImapCapability{"* CAPABILITY IMAP4rev1 IDLE LITERAL+\r\n", "OK done"};

TEST(ImapAccountCheck, EachAnswerOfAPlainProviderGivesItsStepVerdictAndHint) {
  struct Case {
    std::string label;
    std::string greeting;
    ImapReplies replies;
    config::TlsMode tls;
    bool idle;
    std::vector<Expected> steps;
    std::string hint;
    std::string detail{};  // part of the folder steps' details
  };
  const ImapReplies good = {{"CAPABILITY", kImapCapability},
                            {"LOGIN", kImapOk},
                            {"EXAMINE INBOX", {"* 5 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n", "OK [READ-ONLY] done"}},
                            {"EXAMINE Work", {"* 0 EXISTS\r\n", "OK [READ-ONLY] done"}}};
  ImapReplies noWork = good;
  noWork["EXAMINE Work"] = {"", "NO [NONEXISTENT] no such mailbox"};
  ImapReplies noIdle = good;
  noIdle["CAPABILITY"] = {"* CAPABILITY IMAP4rev1\r\n", "OK done"};
  ImapReplies wrongPassword = good;
  wrongPassword["LOGIN"] = {"", "NO [AUTHENTICATIONFAILED] invalid credentials"};
  const ImapReplies loginDisabled = {{"CAPABILITY", {"* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n", "OK done"}}};
  const std::vector<Expected> connected = {{"Поиск адреса", P}, {"Соединение", P}};
  const auto with = [&](std::vector<Expected> rest) {
    std::vector<Expected> all = connected;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  const std::vector<Case> cases = {
      {"good account", "* OK ready\r\n", good, config::TlsMode::kNone, true,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", P}, {"Папка INBOX", P}, {"Папка Work", P}, {"IDLE", P}}),
       "", "писем 5"},
      {"a folder the server does not have", "* OK ready\r\n", noWork, config::TlsMode::kNone, false,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", P}, {"Папка INBOX", P}, {"Папка Work", F}, {"IDLE", P}}),
       "Такой папки на сервере нет"},
      {"push without IDLE", "* OK ready\r\n", noIdle, config::TlsMode::kNone, true,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", P}, {"Папка INBOX", P}, {"Папка Work", P}, {"IDLE", W}}),
       "сеансах связи"},
      {"no IDLE and no push", "* OK ready\r\n", noIdle, config::TlsMode::kNone, false,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", P}, {"Папка INBOX", P}, {"Папка Work", P}, {"IDLE", P}}),
       ""},
      {"wrong password", "* OK ready\r\n", wrongPassword, config::TlsMode::kNone, false,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", F}, {"Папка INBOX", S}, {"Папка Work", S}, {"IDLE", S}}),
       "quelma set-password account 0"},
      {"no password in clear", "* OK ready\r\n", loginDisabled, config::TlsMode::kNone, false,
       with({{"Приветствие", P}, {"Возможности", P}, {"Вход", F}, {"Папка INBOX", S}, {"Папка Work", S}, {"IDLE", S}}),
       "--tls ssl|stls"},
      {"no STARTTLS offered", "* OK ready\r\n", good, config::TlsMode::kStartTls, false,
       with({{"Приветствие", P}, {"Возможности", F}, {"TLS", S}, {"Вход", S}, {"Папка INBOX", S}, {"Папка Work", S},
             {"IDLE", S}}),
       "STARTTLS"},
      {"refused greeting", "* BYE too busy\r\n", {}, config::TlsMode::kNone, false,
       with({{"Приветствие", F}, {"Возможности", S}, {"Вход", S}, {"Папка INBOX", S}, {"Папка Work", S}, {"IDLE", S}}),
       "провайдера"},
      {"a POP3 server on the port", "+OK POP3 ready\r\n", {}, config::TlsMode::kNone, false,
       with({{"Приветствие", F}, {"Возможности", S}, {"Вход", S}, {"Папка INBOX", S}, {"Папка Work", S}, {"IDLE", S}}),
       "993"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ScriptedServer server(c.greeting, AnsweringImap(c.replies));
    config::Configuration config;
    config::ProviderAccount account;
    account.server = "127.0.0.1";
    account.port = server.port;
    account.login = "ivan";
    account.password = "secret";
    account.tls = c.tls;
    account.proto = config::CollectProtocol::kImap;
    account.folders = {"INBOX", "Work"};
    account.idle = c.idle;
    account.keepDays = 0;  // deleting at once: still nothing is changed by the check
    config.accounts.push_back(account);
    const CheckTarget target = CheckAccount(config, 0, Context(dir.path()));
    ExpectSteps(target, c.steps, c.hint, c.label);
    if (!c.detail.empty()) {
      EXPECT_NE(target.steps[5].detail.find(c.detail), std::string::npos) << c.label << "\n" << FormatCheckTarget(target);
    }
    // Read-only: nothing selected, fetched, flagged, copied, moved or expunged; LOGOUT after a login.
    const std::vector<std::string>& commands = server.finish();
    for (const std::string& command : commands) {
      const std::string upper = platform::ToUpperAscii(command);
      for (const char* never : {" SELECT", " FETCH", " STORE", " EXPUNGE", " MOVE", " COPY", " UID", " DELETE"}) {
        EXPECT_EQ(upper.find(never), std::string::npos) << c.label << ": " << command;
      }
    }
    if (c.label == "good account" || c.label == "a folder the server does not have") {
      ASSERT_FALSE(commands.empty());
      EXPECT_NE(commands.back().find("LOGOUT"), std::string::npos) << c.label;
    }
    EXPECT_EQ(FormatCheckTarget(target).find("secret"), std::string::npos) << c.label << ": the password never shows";
  }
}

// The default account turned to IMAP names the program's own IMAP server: nothing connected.
TEST(ImapAccountCheck, AnAccountOnTheProgramsOwnImapServerIsNotConfigured) {
  testing::TempDir dir;
  config::Configuration config = config::DefaultConfiguration(dir.path());
  config.IMAP_SRV_PORT = 1;  // nothing listens there; a connect would fail the check instead
  config.accounts[0].proto = config::CollectProtocol::kImap;
  config.accounts[0].port = 1;
  const CheckTarget target = CheckAccount(config, 0, Context(dir.path()));
  ASSERT_EQ(target.steps.size(), 1u) << FormatCheckTarget(target);
  EXPECT_EQ(target.steps[0].verdict, W);
  EXPECT_NE(target.steps[0].detail.find("IMAP сервер самой программы"), std::string::npos) << target.steps[0].detail;
}

TEST(SmtpProviderCheck, EachAnswerOfAPlainProviderGivesItsStepVerdictAndHint) {
  struct Case {
    std::string label;
    Replies replies;
    bool login;
    std::vector<Expected> steps;
    std::string hint;
  };
  const std::string ehlo = "250-smtp.test\r\n250-SIZE 1000000\r\n250 AUTH PLAIN LOGIN\r\n";
  const std::vector<Case> cases = {
      {"good login", {{"EHLO", ehlo}, {"AUTH", "235 ok\r\n"}}, true,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", P}}, ""},
      {"wrong password", {{"EHLO", ehlo}, {"AUTH", "535 5.7.8 bad credentials\r\n"}}, true,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", F}},
       "quelma set-password smtp"},
      {"no AUTH offered", {{"EHLO", "250-smtp.test\r\n250 SIZE 1000\r\n"}, {"HELO", "250 hi\r\n"}}, true,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", W}}, "AUTH"},
      {"no login set", {{"HELO", "250 hi\r\n"}}, false,
       {{"Поиск адреса", P}, {"Соединение", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", P}}, ""},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    Replies replies = c.replies;
    replies["QUIT"] = "\x01" "221 bye\r\n";
    ScriptedServer server("220 smtp.test ESMTP\r\n", Answering(replies));
    const config::Configuration config = SmtpSettings(server.port, c.login);
    const CheckTarget target = CheckSmtpProvider(config, Context(dir.path()));
    ExpectSteps(target, c.steps, c.hint, c.label);
    for (const std::string& command : server.finish()) {
      EXPECT_FALSE(command.starts_with("MAIL") || command.starts_with("RCPT") || command.starts_with("DATA"))
          << c.label << ": " << command;
    }
  }
}

TEST(ProviderCheck, APortWhereNothingListensFailsTheConnectWithThePortHint) {
  testing::TempDir dir;
  const std::uint16_t port = testing::FreeLoopbackPort();
  config::Configuration config;
  config.SMTPServer = "127.0.0.1";
  config.SMTPSport = port;
  config::ProviderAccount account;
  account.server = "127.0.0.1";
  account.port = port;
  config.accounts.push_back(account);
  for (const CheckTarget& target : {CheckSmtpProvider(config, Context(dir.path())), CheckPop3Account(config, 0, Context(dir.path()))}) {
    ASSERT_GE(target.steps.size(), 3u) << target.name;
    EXPECT_EQ(target.steps[1].name, "Соединение");
    EXPECT_EQ(target.steps[1].verdict, F) << FormatCheckTarget(target);
    EXPECT_NE(target.steps[1].hint.find("порт"), std::string::npos) << target.steps[1].hint;
    EXPECT_EQ(target.steps.back().verdict, S);
  }
}

TEST(ProviderCheck, AnOauthLoginWithoutTlsIsRefusedBeforeAnyConnection) {
  testing::TempDir dir;
  config::Configuration config;
  config.SMTPServer = "127.0.0.1";
  config.SMTP_AUTH = config::OauthMechanism::kXoauth2;
  config::ProviderAccount account;
  account.server = "127.0.0.1";
  account.auth = config::OauthMechanism::kOauthBearer;
  config.accounts.push_back(account);
  for (const CheckTarget& target : {CheckSmtpProvider(config, Context(dir.path())), CheckPop3Account(config, 0, Context(dir.path()))}) {
    ASSERT_EQ(target.steps.size(), 1u);
    EXPECT_EQ(target.steps[0].verdict, F);
    EXPECT_NE(target.steps[0].hint.find("без шифрования"), std::string::npos);
  }
}

// The default account names the program's own POP3 server: "не настроен", nothing connected,
// and each front end says where to set the provider.
TEST(Pop3AccountCheck, AnAccountOnTheProgramsOwnPop3ServerIsNotConfigured) {
  testing::TempDir dir;
  net::Listener own;  // stands for the running program's POP3 server: it must never be asked
  ASSERT_EQ(own.open(platform::kLoopbackAddress, 0, 1), net::ListenFailure::kNone);
  config::Configuration config = config::DefaultConfiguration(dir.path());
  config.POP3_SRV_PORT = own.localPort().value_or(0);
  config.accounts[0].port = static_cast<std::uint32_t>(config.POP3_SRV_PORT);
  for (const auto& [mend, words] : {std::pair<MendWords, std::string>{CommandLineMend, "\"quelma config account edit 0 --server"},
                                    std::pair<MendWords, std::string>{WindowsMend, "\"Настройки > Связь\": счет 0"}}) {
    ProviderCheckContext context = Context(dir.path());
    context.mend = mend;
    const CheckTarget target = CheckPop3Account(config, 0, context);
    ASSERT_EQ(target.steps.size(), 1u) << FormatCheckTarget(target);
    EXPECT_EQ(target.steps[0].verdict, W);
    EXPECT_TRUE(target.steps[0].detail.starts_with("не настроен")) << target.steps[0].detail;
    EXPECT_NE(target.steps[0].hint.find(words), std::string::npos) << target.steps[0].hint;
  }
  config.accounts[0].port = 1;  // the same machine, another port: some other server, checked as any
  EXPECT_NE(CheckPop3Account(config, 0, Context(dir.path())).steps[0].verdict, W);
}

TEST(SmtpProviderCheck, TheWindowsWindowNamesTheDialogTheCommandLineTheCommand) {
  for (const bool windows : {false, true}) {
    testing::TempDir dir;
    Replies replies{{"EHLO", "250-smtp.test\r\n250 AUTH PLAIN LOGIN\r\n"}, {"AUTH", "535 5.7.8 bad credentials\r\n"}};
    replies["QUIT"] = "\x01" "221 bye\r\n";
    ScriptedServer server("220 smtp.test ESMTP\r\n", Answering(replies));
    const config::Configuration config = SmtpSettings(server.port, true);
    ProviderCheckContext context = Context(dir.path());
    context.mend = windows ? MendWords(WindowsMend) : MendWords(CommandLineMend);
    const std::string hint = CheckSmtpProvider(config, context).steps.back().hint;
    server.finish();
    EXPECT_NE(hint.find(windows ? "в окне \"Настройки > Связь\", кнопка \"SMTP логин...\", поля \"Пароль\""
                                : "командой \"quelma set-password smtp\""),
              std::string::npos)
        << hint;
    EXPECT_EQ(hint.find(windows ? "quelma set-password" : "в окне"), std::string::npos) << hint;
  }
}

TEST(SettingsCheck, RequestsFromTheCommandLineWords) {
  struct Case {
    std::vector<std::string> words;
    std::optional<CheckScope> scope;
    std::size_t account;
  };
  const std::vector<Case> cases = {
      {{}, CheckScope::kAll, 0},          {{"all"}, CheckScope::kAll, 0},
      {{"smtp"}, CheckScope::kSmtp, 0},   {{"local"}, CheckScope::kLocal, 0},
      {{"account", "3"}, CheckScope::kAccount, 3},
      {{"account"}, std::nullopt, 0},     {{"account", "x"}, std::nullopt, 0},
      {{"account", "-1"}, std::nullopt, 0}, {{"account", "99999"}, std::nullopt, 0},
      {{"smtp", "x"}, std::nullopt, 0},   {{"pop3"}, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    const auto request = ParseCheckRequest(c.words);
    ASSERT_EQ(request.has_value(), c.scope.has_value()) << ::testing::PrintToString(c.words);
    if (!request) continue;
    EXPECT_EQ(request->scope, *c.scope);
    EXPECT_EQ(request->account, c.account);
  }
  // An account that does not exist is a failure of its own, not nothing checked.
  const CheckReport report = RunSettingsCheck(config::Configuration{}, {CheckScope::kAccount, 2}, {});
  ASSERT_EQ(report.targets.size(), 1u);
  EXPECT_FALSE(CheckPassed(report));
}

TEST(CheckReport, TheTextShowsAMarkPerStepTheDetailAndTheHintAndWarningsDoNotFail) {
  CheckReport report;
  report.targets.push_back({"Счет 0", {}});
  CheckSteps steps(report.targets[0]);
  steps.pass("Соединение", "127.0.0.1, порт 110");
  steps.warn("Возможности", "CAPA: USER", "Уберите keep=");
  EXPECT_TRUE(CheckPassed(report));
  steps.fail("Вход", "-ERR no\nвторая строка", "Проверьте пароль");
  steps.skipAfterFailure({"TLS"});
  EXPECT_FALSE(CheckPassed(report));
  EXPECT_EQ(FormatCheckReport(report),
            "Счет 0\n"
            "  [ OK ] Соединение\n"
            "         127.0.0.1, порт 110\n"
            "  [ВНИМ] Возможности\n"
            "         CAPA: USER\n"
            "         Что делать: Уберите keep=\n"
            "  [СБОЙ] Вход\n"
            "         -ERR no\n"
            "         вторая строка\n"
            "         Что делать: Проверьте пароль\n"
            "  [ -- ] TLS\n"
            "         не проверялось: предыдущий шаг не пройден\n"
            "\n"
            "Итог: есть сбои (сбоев: 1, предупреждений: 1)\n");
}

TEST(ProviderCheck, TheTlsStepJudgesTheHandshakeAndTheCertificatesEnd) {
  const std::int64_t now = *CertificateTime("2026-06-01 12:00:00 UTC");
  struct Case {
    net::TlsFailure failure;
    std::string notAfter;
    CheckVerdict verdict;
    std::string hint;
  };
  const std::vector<Case> cases = {
      {net::TlsFailure::kNone, "2027-06-01 12:00:00 UTC", P, ""},
      {net::TlsFailure::kNone, "2026-06-15 12:00:01 UTC", P, ""},
      {net::TlsFailure::kNone, "2026-06-15 11:59:59 UTC", W, "через 13 дн."},
      {net::TlsFailure::kNone, "2026-06-02 00:00:00 UTC", W, "через 0 дн."},
      {net::TlsFailure::kUntrusted, "2027-06-01 12:00:00 UTC", F, "TLS_CA_FILE"},
      {net::TlsFailure::kUntrusted, "2027-06-01 12:00:00 UTC", F, "AB12"},  // the fingerprint to set
      {net::TlsFailure::kHostName, "2027-06-01 12:00:00 UTC", F, "pop.example.test"},
      {net::TlsFailure::kExpired, "2026-05-01 12:00:00 UTC", F, "истек"},
      {net::TlsFailure::kPin, "2027-06-01 12:00:00 UTC", F, "fingerprint= в строке счета 0"},
      {net::TlsFailure::kSettings, "2027-06-01 12:00:00 UTC", F, "/etc/ca.pem"},
      {net::TlsFailure::kHandshake, "", F, "995"},
  };
  for (const Case& c : cases) {
    net::TlsOutcome outcome;
    outcome.failure = c.failure;
    if (!c.notAfter.empty()) {
      outcome.chain.push_back({"CN=pop.example.test", "CN=Test CA", {"pop.example.test"}, "2026-01-01 00:00:00 UTC",
                               c.notAfter, true, "AB12"});
    }
    CheckTarget target;
    CheckSteps steps(target);
    AddTlsStep(steps, outcome, {"pop.example.test", "/etc/ca.pem", ""},
               {"fingerprint= в строке счета 0", "tls=ssl обычно на порту 995"}, now);
    ASSERT_EQ(target.steps.size(), 1u);
    EXPECT_EQ(target.steps[0].verdict, c.verdict) << c.notAfter << "\n" << FormatCheckTarget(target);
    EXPECT_NE(target.steps[0].hint.find(c.hint), std::string::npos) << target.steps[0].hint;
    if (!c.notAfter.empty()) {
      EXPECT_NE(target.steps[0].detail.find(c.notAfter), std::string::npos);
    }
  }
  EXPECT_FALSE(CertificateTime("Jun  1 12:00:00 2026 GMT"));
  EXPECT_EQ(*CertificateTime("1970-01-02 00:00:00 UTC"), 86400);
}

#ifndef _WIN32
// The step named `name`; fails the test when there is none.
const CheckStep& StepNamed(const CheckTarget& target, const std::string& name) {
  for (const CheckStep& step : target.steps) {
    if (step.name == name) return step;
  }
  ADD_FAILURE() << "no step " << name;
  static const CheckStep none;
  return none;
}

// A provider with TLS from the first byte on 127.0.0.1: one connection, a greeting, a reply per
// command line, over the certificate it is given.
class TlsProvider {
 public:
  TlsProvider(const std::string& cert, const std::string& key, std::string greeting, ScriptedServer::Answer answer) {
    net::CredentialsError error;
    credentials_ = net::TlsServerCredentials::Load(cert, key, error);
    EXPECT_TRUE(credentials_) << error.detail;
    EXPECT_EQ(listener_.open(platform::kLoopbackAddress, 0, 4), net::ListenFailure::kNone);
    port = listener_.localPort().value_or(0);
    thread_ = std::thread([this, greeting, answer] { serve(greeting, answer); });
  }
  ~TlsProvider() { thread_.join(); }
  std::uint16_t port = 0;

 private:
  void serve(const std::string& greeting, const ScriptedServer::Answer& answer) {
    std::optional<net::PlainStream> plain;
    for (int i = 0; i < 10 && !plain; ++i) plain = listener_.accept();  // a second each at most
    if (!plain || !credentials_) return;
    plain->setReceiveTimeout(5000);
    net::TlsOutcome outcome;
    std::unique_ptr<net::ByteStream> tls = credentials_->accept(*plain, outcome);
    if (!tls || !tls->sendAll(greeting)) return;
    std::string pending;
    char buffer[4096];
    for (;;) {
      const auto lf = pending.find('\n');
      if (lf == std::string::npos) {
        const long n = tls->receive(buffer, sizeof buffer);
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = pending.substr(0, lf + 1);
      pending.erase(0, lf + 1);
      const std::optional<std::string> reply = answer(line);
      if (!reply) continue;
      if (reply->empty() || reply->starts_with('\x01')) {
        if (!reply->empty()) tls->sendAll(reply->substr(1));
        tls->close();
        return;
      }
      if (!tls->sendAll(*reply)) return;
    }
  }

  std::shared_ptr<const net::TlsServerCredentials> credentials_;
  net::Listener listener_;
  std::thread thread_;
};

TEST(Pop3AccountCheck, CertificatesAndOauthTokensOverTlsGiveTheirStepVerdictAndHint) {
  testing::TempDir dir;
  testing::TestCertificates certs(dir.path());
  const std::string capa = "+OK\r\nUSER\r\nSASL XOAUTH2\r\nUIDL\r\n.\r\n";
  struct Case {
    std::string label;
    std::string cert, key;
    std::string host;  // the account's server
    bool trustCa;
    config::OauthMechanism auth;
    std::deque<std::string> tokens;
    bool loginNeeded;
    bool acceptToken;  // the provider takes the XOAUTH2 line
    Replies replies;
    std::vector<Expected> steps;
    std::string hint;
  };
  const auto X = config::OauthMechanism::kXoauth2;
  const auto none = config::OauthMechanism::kNone;
  const Replies good = {{"USER", kOk}, {"PASS", kOk}, {"CAPA", kCapa}};
  const std::vector<Expected> allPass = {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", P},
                                         {"Приветствие", P},  {"Вход", P},       {"Возможности", P}};
  const std::vector<Expected> tlsFails = {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", F},
                                          {"Приветствие", S},  {"Вход", S},       {"Возможности", S}};
  const std::vector<Case> cases = {
      {"good certificate", certs.goodCert, certs.goodKey, "127.0.0.1", true, none, {}, false, false, good, allPass, ""},
      {"untrusted certificate", certs.goodCert, certs.goodKey, "127.0.0.1", false, none, {}, false, false, good, tlsFails,
       "TLS_CA_FILE"},
      {"certificate for another name", certs.otherHostCert, certs.otherHostKey, "127.0.0.1", true, none, {}, false, false,
       good, tlsFails, "других имен"},
      {"expired certificate", certs.expiredCert, certs.expiredKey, "localhost", true, none, {}, false, false, good, tlsFails,
       "истек"},
      {"OAuth token accepted", certs.goodCert, certs.goodKey, "127.0.0.1", true, X, {"token"}, false, true,
       {{"CAPA", capa}, {"AUTH", "+ \r\n"}},
       {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", P}}, ""},
      {"no refresh token", certs.goodCert, certs.goodKey, "127.0.0.1", true, X, {}, true, false, {{"CAPA", capa}},
       {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", F}},
       "quelma oauth login account 0"},
      {"token refused twice", certs.goodCert, certs.goodKey, "127.0.0.1", true, X, {"old", "new"}, false, false,
       {{"CAPA", capa}, {"AUTH", "+ \r\n"}},
       {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", F}},
       "quelma oauth login account 0"},
  };
  for (const Case& c : cases) {
    // The XOAUTH2 line is Base64, never a command word: it gets the acceptance or the refusal.
    const Replies replies = c.replies;
    const bool acceptToken = c.acceptToken;
    TlsProvider provider(c.cert, c.key, "+OK ready\r\n", [replies, acceptToken](const std::string& line) -> std::optional<std::string> {
      std::string word = line.substr(0, line.find_first_of(" \r\n"));
      for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (word == "QUIT") return std::string("\x01+OK bye\r\n");
      if (const auto it = replies.find(word); it != replies.end()) return it->second;
      if (acceptToken && word.size() > 20) return kOk;
      return std::string("-ERR refused\r\n");
    });
    config::Configuration config;
    if (c.trustCa) config.TLS_CA_FILE = certs.caCert;
    config::ProviderAccount account;
    account.server = c.host;
    account.port = provider.port;
    account.login = "ivan";
    account.password = "secret";
    account.tls = config::TlsMode::kImplicit;
    account.auth = c.auth;
    config.accounts.push_back(account);
    const CheckTarget target = CheckPop3Account(config, 0, Context(dir.path(), c.tokens, c.loginNeeded));
    ExpectSteps(target, c.steps, c.hint, c.label);
    if (c.label == "good certificate") {
      EXPECT_NE(StepNamed(target, "TLS").detail.find("SHA-256"), std::string::npos);
    }
  }
}
TEST(ImapAccountCheck, OauthOverTlsFromTheFirstByte) {
  testing::TempDir dir;
  testing::TestCertificates certs(dir.path());
  for (const bool accepted : {true, false}) {
    auto lastTag = std::make_shared<std::string>();
    TlsProvider provider(certs.goodCert, certs.goodKey, "* OK ready\r\n", [accepted, lastTag](const std::string& line) -> std::optional<std::string> {
      if (line == "\r\n") return *lastTag + " NO [AUTHENTICATIONFAILED] invalid\r\n";  // the end of a refused SASL exchange
      const std::string tag = line.substr(0, line.find(' '));
      *lastTag = tag;
      if (line.find(" CAPABILITY") != std::string::npos) {
        return "* CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 IDLE\r\n" + tag + " OK done\r\n";
      }
      if (line.find(" AUTHENTICATE XOAUTH2 ") != std::string::npos) {
        return accepted ? tag + " OK welcome\r\n" : std::string("+ eyJzdGF0dXMiOiI0MDAifQ==\r\n");
      }
      if (line.find(" EXAMINE") != std::string::npos) return "* 3 EXISTS\r\n" + tag + " OK [READ-ONLY] done\r\n";
      if (line.find(" LOGOUT") != std::string::npos) return "\x01* BYE\r\n" + tag + " OK done\r\n";
      return tag + " BAD what\r\n";
    });
    config::Configuration config;
    config.TLS_CA_FILE = certs.caCert;
    config::ProviderAccount account;
    account.server = "127.0.0.1";
    account.port = provider.port;
    account.login = "ivan@x.test";
    account.tls = config::TlsMode::kImplicit;
    account.auth = config::OauthMechanism::kXoauth2;
    account.oauth = "google";
    account.proto = config::CollectProtocol::kImap;
    account.idle = true;
    config.accounts.push_back(account);
    const CheckTarget target = CheckAccount(config, 0, Context(dir.path(), {"token", "token2"}));
    if (accepted) {
      ExpectSteps(target,
                  {{"Поиск адреса", P}, {"Соединение", P}, {"TLS", P}, {"Приветствие", P}, {"Возможности", P}, {"Вход", P},
                   {"Папка INBOX", P}, {"IDLE", P}},
                  "", "token accepted");
      EXPECT_NE(StepNamed(target, "Вход").detail.find("AUTHENTICATE XOAUTH2"), std::string::npos);
    } else {
      EXPECT_EQ(StepNamed(target, "Вход").verdict, F) << FormatCheckTarget(target);
      EXPECT_EQ(StepNamed(target, "Папка INBOX").verdict, S);
    }
    EXPECT_EQ(FormatCheckTarget(target).find("Bearer"), std::string::npos) << "no token shows";
  }
}
#endif

}  // namespace
}  // namespace quelma::app
