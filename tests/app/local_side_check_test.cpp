// The local side of the settings check: ports free, ours or another program's; folders; disk
// space against its two thresholds; users without passwords; relay networks; local domain;
// the dial-up entry.
#include "app/local_side_check.h"

#include <gtest/gtest.h>

#include <optional>

#include "net/listener.h"
#include "platform/files.h"
#include "support/free_port.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

struct Office {
  testing::TempDir dir;
  config::Configuration config;
  LocalCheckContext context;
  Office() {
    config.MailDropDir = dir.path() + "maildrop/";
    config.QueueDir = dir.path() + "queue/";
    platform::MakeDirectory(config.MailDropDir);
    platform::MakeDirectory(config.QueueDir);
    config.LocalDomain = "office.test";
    config.LISTEN_ADDRESSES = "127.0.0.1";
    config.SMTP_SRV_PORT = testing::FreeLoopbackPort();
    config.POP3_SRV_PORT = testing::FreeLoopbackPort();
    config.IMAP_SRV_PORT = testing::FreeLoopbackPort();
    config.RELAY_NETWORKS = "127.0.0.0/8, 192.168.1.0/24";
    config.users.push_back({"ivan", "secret", ""});
    context.programDir = dir.path();
    context.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(1ull << 30); };
    context.programRunning = [] { return false; };
    context.dialUpEntries = [] { return std::vector<std::string>{"provider"}; };
  }
};

const CheckStep* Step(const CheckTarget& target, const std::string& prefix) {
  for (const CheckStep& step : target.steps) {
    if (step.name.starts_with(prefix)) return &step;
  }
  return nullptr;
}

TEST(LocalSideCheck, ASoundSetupPassesEveryStep) {
  Office s;
  const CheckTarget target = CheckLocalSide(s.config, s.context);
  for (const CheckStep& step : target.steps) EXPECT_EQ(step.verdict, CheckVerdict::kPassed) << FormatCheckTarget(target);
  // The folders' probe files are gone again.
  EXPECT_TRUE(platform::ListDirectory(s.config.MailDropDir, "*").empty());
  EXPECT_TRUE(platform::ListDirectory(s.config.QueueDir, "*").empty());
}

TEST(LocalSideCheck, EachFaultGivesItsStepVerdictAndHint) {
  struct Case {
    std::string label;
    std::function<void(Office&)> change;
    std::string step;  // the start of its name
    CheckVerdict verdict;
    std::string hint;
  };
  const std::vector<Case> cases = {
      {"disk almost full", [](Office& s) { s.context.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(5ull << 20); }; },
       "Место на диске", CheckVerdict::kFailed, "место на этом диске"},
      {"disk getting full", [](Office& s) { s.context.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(50ull << 20); }; },
       "Место на диске", CheckVerdict::kWarning, "место на этом диске"},
      {"disk just above the warning", [](Office& s) { s.context.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(kDiskWarningBytes); }; },
       "Место на диске", CheckVerdict::kPassed, ""},
      {"maildrop folder not made yet", [](Office& s) { s.config.MailDropDir = s.dir.path() + "nowhere/"; },
       "Папка почтовых ящиков", CheckVerdict::kWarning, "создаст ее при запуске"},
      {"maildrop folder's parent missing too", [](Office& s) { s.config.MailDropDir = s.dir.path() + "no/where/"; },
       "Папка почтовых ящиков", CheckVerdict::kFailed, "путь"},
      // Without a password a user logs in only from this computer: a failure while others can
      // reach the servers.
      {"user without password, loopback only", [](Office& s) { s.config.users.push_back({"petr", "", ""}); },
       "Пользователь petr", CheckVerdict::kWarning, "quelma set-password user petr"},
      {"user without password, every address", [](Office& s) { s.config.users.push_back({"petr", "", ""}); s.config.LISTEN_ADDRESSES = "*"; },
       "Пользователь petr", CheckVerdict::kFailed, "quelma set-password user petr"},
      {"user without password, an office address", [](Office& s) { s.config.users.push_back({"petr", "", ""}); s.config.LISTEN_ADDRESSES = "::1,192.168.1.5"; },
       "Пользователь petr", CheckVerdict::kFailed, "quelma set-password user petr"},
      {"user without password, loopback over IPv6 too", [](Office& s) { s.config.users.push_back({"petr", "", ""}); s.config.LISTEN_ADDRESSES = "127.0.0.1,::1"; },
       "Пользователь petr", CheckVerdict::kWarning, "quelma set-password user petr"},
      {"the daemon without password, every address", [](Office& s) { s.config.users.push_back({"robot", "", ""}); s.config.Daemon = "robot"; s.config.LISTEN_ADDRESSES = "*"; },
       "Пароли пользователей", CheckVerdict::kPassed, ""},
      {"no clear-text passwords and no TLS", [](Office& s) { s.config.PLAINTEXT_LOGIN = config::PlaintextLogin::kLocal; s.config.LISTEN_ADDRESSES = "*"; },
       "Пароли открытым текстом", CheckVerdict::kWarning, "TLS_CERT_FILE"},
      {"no clear-text passwords, loopback only", [](Office& s) { s.config.PLAINTEXT_LOGIN = config::PlaintextLogin::kNo; },
       "Пароли открытым текстом", CheckVerdict::kPassed, ""},
      {"open relay", [](Office& s) { s.config.RELAY_NETWORKS = "192.168.1.0/24, 0.0.0.0/0"; },
       "Сети для пересылки", CheckVerdict::kFailed, "открытым ретранслятором"},
      {"open relay over IPv6", [](Office& s) { s.config.RELAY_NETWORKS = "::/0"; },
       "Сети для пересылки", CheckVerdict::kFailed, "открытым ретранслятором"},
      {"public network", [](Office& s) { s.config.RELAY_NETWORKS = "10.0.0.0/8, 203.0.113.0/24"; },
       "Сети для пересылки", CheckVerdict::kWarning, "203.0.113.0/24"},
      {"private network wider than its range", [](Office& s) { s.config.RELAY_NETWORKS = "192.0.0.0/8"; },
       "Сети для пересылки", CheckVerdict::kWarning, "192.0.0.0/8"},
      {"unreadable networks", [](Office& s) { s.config.RELAY_NETWORKS = "office"; },
       "Сети для пересылки", CheckVerdict::kFailed, "RELAY_NETWORKS"},
      {"no local domain", [](Office& s) { s.config.LocalDomain.clear(); },
       "Локальный домен", CheckVerdict::kFailed, "LocalDomain"},
      {"dial-up entry missing", [](Office& s) { s.config.UseLAN = false; s.config.DialUpRecord = "old"; },
       "Связь с провайдером", CheckVerdict::kFailed, "соединение"},
      {"dial-up entry present", [](Office& s) { s.config.UseLAN = false; s.config.DialUpRecord = "provider"; },
       "Связь с провайдером", CheckVerdict::kPassed, ""},
      // Push needs an IMAP account and the office network.
      {"push on a POP3 account", [](Office& s) { s.config.accounts.resize(1); s.config.accounts[0].idle = true; },
       "Мгновенная доставка, счет 0", CheckVerdict::kWarning, "--proto imap"},
      {"push with dial-up",
       [](Office& s) {
         s.config.accounts.resize(2);
         s.config.accounts[1].proto = config::CollectProtocol::kImap;
         s.config.accounts[1].idle = true;
         s.config.UseLAN = false;
         s.config.DialUpRecord = "provider";
       },
       "Мгновенная доставка, счет 1", CheckVerdict::kWarning, "UseLAN = YES"},
      {"push on IMAP over the office network",
       [](Office& s) {
         s.config.accounts.resize(1);
         s.config.accounts[0].proto = config::CollectProtocol::kImap;
         s.config.accounts[0].folders = {"Работа", "INBOX"};
         s.config.accounts[0].idle = true;
       },
       "Мгновенная доставка, счет 0", CheckVerdict::kPassed, ""},
  };
  for (const Case& c : cases) {
    Office s;
    c.change(s);
    const CheckTarget target = CheckLocalSide(s.config, s.context);
    const CheckStep* step = Step(target, c.step);
    ASSERT_NE(step, nullptr) << c.label << "\n" << FormatCheckTarget(target);
    EXPECT_EQ(step->verdict, c.verdict) << c.label << "\n" << FormatCheckTarget(target);
    EXPECT_NE(step->hint.find(c.hint), std::string::npos) << c.label << ": " << step->hint;
  }
}

TEST(LocalSideCheck, ATakenPortFailsUnlessThisProgramHoldsIt) {
  for (const bool ours : {false, true}) {
    Office s;
    net::Listener other;
    ASSERT_EQ(other.open(platform::kLoopbackAddress, 0, 1), net::ListenFailure::kNone);
    s.config.POP3_SRV_PORT = other.localPort().value_or(0);
    s.context.programRunning = [ours] { return ours; };
    const CheckTarget target = CheckLocalSide(s.config, s.context);
    const CheckStep* smtp = Step(target, "Порт SMTP");
    const CheckStep* pop3 = Step(target, "Порт POP3");
    ASSERT_TRUE(smtp && pop3);
    EXPECT_EQ(smtp->verdict, CheckVerdict::kPassed);
    EXPECT_EQ(pop3->verdict, ours ? CheckVerdict::kPassed : CheckVerdict::kFailed) << FormatCheckTarget(target);
    EXPECT_NE(pop3->detail.find(ours ? "quelma" : "не открывается"), std::string::npos) << pop3->detail;
    if (!ours) {
      EXPECT_NE(pop3->hint.find("POP3_SRV_PORT"), std::string::npos);
    }
  }
}

// The IMAP ports are checked as the others while the IMAP server is on; with IMAP_SRV_PORT 0
// it opens none, its TLS port included, and nothing of it is checked.
TEST(LocalSideCheck, TheImapPortsWhileTheImapServerIsOn) {
  struct Case {
    const char* label;
    bool off, tlsTaken, ours;
    std::string step;  // the start of the IMAP step's name
    std::optional<CheckVerdict> verdict;  // nothing: no such step
    std::string hintKey;
  };
  const Case cases[] = {
      {"IMAP port taken", false, false, false, "Порт IMAP ", CheckVerdict::kFailed, "IMAP_SRV_PORT"},
      {"IMAP port ours", false, false, true, "Порт IMAP ", CheckVerdict::kPassed, ""},
      {"IMAPS port taken", false, true, false, "Порт IMAP (TLS)", CheckVerdict::kFailed, "IMAP_SRV_TLS_PORT"},
      {"IMAP server off", true, true, false, "Порт IMAP", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    Office s;
    s.config.TLS_CERT_FILE = s.dir.path() + "cert.pem";
    s.config.TLS_KEY_FILE = s.dir.path() + "key.pem";
    net::Listener other;
    ASSERT_EQ(other.open(platform::kLoopbackAddress, 0, 1), net::ListenFailure::kNone);
    const std::int32_t taken = other.localPort().value_or(0);
    if (c.tlsTaken) {
      s.config.IMAP_SRV_TLS_PORT = taken;
    } else {
      s.config.IMAP_SRV_PORT = taken;
    }
    if (c.off) s.config.IMAP_SRV_PORT = 0;
    s.context.programRunning = [&c] { return c.ours; };
    const CheckTarget target = CheckLocalSide(s.config, s.context);
    const CheckStep* step = Step(target, c.step);
    if (!c.verdict) {
      EXPECT_EQ(step, nullptr) << c.label << "\n" << FormatCheckTarget(target);
      continue;
    }
    ASSERT_NE(step, nullptr) << c.label << "\n" << FormatCheckTarget(target);
    EXPECT_EQ(step->verdict, *c.verdict) << c.label << "\n" << FormatCheckTarget(target);
    EXPECT_NE(step->hint.find(c.hintKey), std::string::npos) << c.label << ": " << step->hint;
  }
}

// The Windows report window names the dialog and field, the command line its command; neither
// names the other's way.
TEST(LocalSideCheck, EachFrontEndsHintsNameItsOwnWayToMend) {
  struct FrontEnd {
    MendWords mend;
    std::vector<std::string> expected;  // in the hints, in the order of the faults below
    std::string foreign;
  };
  const FrontEnd frontEnds[] = {
      {CommandLineMend,
       {"\"quelma set-password user petr\"", "\"quelma config set RELAY_NETWORKS", "\"quelma config set LocalDomain",
        "\"quelma config set UseLAN NO DialUpRecord", "\"quelma config set POP3_SRV_PORT"},
       "в окне"},
      {WindowsMend,
       {"\"Настройки > Серверы POP3/SMTP\": пользователь petr, кнопка \"Изменить...\", поле \"Пароль\"",
        "\"Настройки > Серверы POP3/SMTP\", поле \"Отправка наружу без входа из сетей (через запятую)\"",
        "\"Настройки > Серверы POP3/SMTP\", поле \"Локальный домен\"", "\"Настройки > Связь\": снимите",
        "\"Настройки > Серверы POP3/SMTP\", поле \"Порт POP3 сервера\""},
       "quelma "},
  };
  for (const FrontEnd& frontEnd : frontEnds) {
    Office s;
    s.context.mend = frontEnd.mend;
    s.config.users.push_back({"petr", "", ""});
    s.config.RELAY_NETWORKS = "office";
    s.config.LocalDomain.clear();
    s.config.UseLAN = false;
    net::Listener other;
    ASSERT_EQ(other.open(platform::kLoopbackAddress, 0, 1), net::ListenFailure::kNone);
    s.config.POP3_SRV_PORT = other.localPort().value_or(0);
    const CheckTarget target = CheckLocalSide(s.config, s.context);
    const std::vector<const CheckStep*> steps = {Step(target, "Пользователь petr"), Step(target, "Сети для пересылки"),
                                                 Step(target, "Локальный домен"), Step(target, "Связь с провайдером"),
                                                 Step(target, "Порт POP3")};
    for (std::size_t i = 0; i < steps.size(); ++i) {
      ASSERT_NE(steps[i], nullptr) << i << "\n" << FormatCheckTarget(target);
      EXPECT_NE(steps[i]->hint.find(frontEnd.expected[i]), std::string::npos) << steps[i]->hint;
      EXPECT_EQ(steps[i]->hint.find(frontEnd.foreign), std::string::npos) << steps[i]->hint;
    }
  }
}

TEST(LocalSideCheck, UnknownKeysAndAccountWordsAreNamedAsLikelyTypos) {
  Office s;
  s.config.unknownParameters = {{"LocalDomain", "LocalDomian = office.test"}, {"", "FUTURE=1"}};
  s.config.accounts.push_back({"pop.provider.ru", "office", "", 110, "*", 0, {}, {}, {}, {}, 0, 0, {"kep=14"}});
  const CheckTarget target = CheckLocalSide(s.config, s.context);
  const CheckStep* typo = Step(target, "Параметр LocalDomian");
  const CheckStep* glued = Step(target, "Параметр FUTURE");
  const CheckStep* word = Step(target, "Счет 0");
  ASSERT_TRUE(typo && glued && word) << FormatCheckTarget(target);
  for (const CheckStep* step : {typo, glued, word}) {
    EXPECT_EQ(step->verdict, CheckVerdict::kWarning) << step->name;
    EXPECT_NE(step->hint.find("опечатка"), std::string::npos) << step->hint;
  }
  EXPECT_NE(typo->detail.find("LocalDomian = office.test"), std::string::npos);
  EXPECT_NE(word->detail.find("kep=14"), std::string::npos);
  EXPECT_TRUE(CheckPassed({{target}})) << "warnings only";
}

}  // namespace
}  // namespace quelma::app
