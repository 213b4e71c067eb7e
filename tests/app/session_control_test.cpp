// Session control with fake workers: the LAN and dial-up chains, the account sequence, daemon
// mail, the timetable and the reload at session start.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/own_server.h"
#include "app/session_control.h"
#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/fake_clock.h"
#include "support/fake_remote_access.h"
#include "support/recording_main_window.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

using quelma::testing::WriteAll;

struct FakeWorkers final : SessionWorkers {
  std::vector<std::string> started;
  void startDialer(std::shared_ptr<const config::Configuration>) override { started.push_back("dialer"); }
  void startSmtpClient(std::shared_ptr<const config::Configuration>) override { started.push_back("smtp"); }
  void startPop3Client(std::shared_ptr<const config::Configuration> c, std::size_t i) override {
    started.push_back("pop3 " + c->accounts.at(i).server);
  }
};

struct Session {
  quelma::testing::TempDir dir;
  quelma::testing::RecordingMainWindow window;
  link::ServerControl control;
  quelma::testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  config::ConfigStore store;
  FakeWorkers workers;
  quelma::testing::FakeRemoteAccess access;
  dialup::DialerState dialer;
  int reloads = 0;
  SessionControl session{{store, [this] { ++reloads; }, log, workers, access, dialer, clock}};

  explicit Session(std::size_t accounts = 3, bool lan = true) {
    config::Configuration c;
    c.MailDropDir = dir.path();
    c.UseLAN = lan;
    c.DialupAutoOff = true;
    c.Daemon = "daemon";
    c.users = {{"postmaster", "", ""}, {"daemon", "", ""}};
    for (std::size_t i = 0; i < accounts; ++i) c.accounts.push_back({"acc" + std::to_string(i), "l", "p", 110, "*", 0, {}, {}, {}, {}});
    store.publish(c);
  }
  std::string marker() const { return dir.file("pop3_download.runs"); }
};

TEST(SessionControl, LanModeRunsTheAccountsOneAfterAnother) {
  Session s;
  s.session.startSession();
  EXPECT_EQ(s.workers.started, (std::vector<std::string>{"smtp", "pop3 acc0"})) << "together";
  WriteAll(s.marker(), "");
  s.session.workerDone(link::WorkerId::kSmtpClient);
  s.session.workerDone(link::WorkerId::kPop3Client);
  s.session.workerDone(link::WorkerId::kPop3Client);
  EXPECT_EQ(s.workers.started.back(), "pop3 acc2");
  EXPECT_TRUE(platform::FileExists(s.marker()));
  s.session.workerDone(link::WorkerId::kPop3Client);
  EXPECT_FALSE(platform::FileExists(s.marker())) << "gone after the third account";
  EXPECT_EQ(s.workers.started.size(), 4u);
  EXPECT_EQ(s.session.sessionDoneMask(), 0u) << "LAN sessions have no end step";
  // A start while transferring starts over from account 0; the guards keep the running ones alone.
  s.session.startSession();
  EXPECT_EQ(s.workers.started.back(), "pop3 acc0");
  EXPECT_EQ(s.reloads, 2);
}

TEST(SessionControl, DialUpChainAndTheHangUpAfterBothReports) {
  for (const bool smtpLast : {false, true}) {
    Session s(1, false);
    s.session.startSession();
    s.session.startSession();  // twice quickly: one dialer
    EXPECT_EQ(s.workers.started, std::vector<std::string>{"dialer"});
    s.dialer.dialedByUs = 1;
    s.dialer.rasConnection = 9;
    s.access.active = 9;
    s.session.connected();
    s.session.workerDone(link::WorkerId::kDialer);
    EXPECT_EQ(s.workers.started, (std::vector<std::string>{"dialer", "smtp", "pop3 acc0"}));
    s.session.workerDone(smtpLast ? link::WorkerId::kPop3Client : link::WorkerId::kSmtpClient);
    EXPECT_TRUE(s.access.hungUp.empty()) << "only one of the two has reported";
    s.session.workerDone(smtpLast ? link::WorkerId::kSmtpClient : link::WorkerId::kPop3Client);
    EXPECT_EQ(s.session.sessionDoneMask(), 3u);
    EXPECT_EQ(s.access.hungUp, std::vector<dialup::ConnectionHandle>{9});
    s.session.startSession();
    EXPECT_EQ(s.workers.started.back(), "dialer") << "the dialer's end freed the way for a new one";
  }
  Session s(1, false);  // the link could not be brought up: the session ends with the dialer
  s.session.startSession();
  s.session.workerDone(link::WorkerId::kDialer);
  EXPECT_EQ(s.workers.started, std::vector<std::string>{"dialer"});
  EXPECT_TRUE(s.access.hungUp.empty());
}

TEST(SessionControl, NoAccountSkipsTheDownload) {
  Session s(0);
  WriteAll(s.marker(), "");
  s.session.startSession();
  EXPECT_EQ(s.workers.started, std::vector<std::string>{"smtp"});
  EXPECT_FALSE(platform::FileExists(s.marker()));
  EXPECT_EQ(s.window.unstampedLines().back(), "POP3CLIENT> Нет учетных записей POP3: загрузка почты пропущена.\r\n");
}

// An account that names the program's own POP3 or IMAP server is never downloaded; the log says so.
TEST(SessionControl, AccountsOnTheProgramsOwnServersAreSkippedWithOneLine) {
  Session s(3);
  config::Configuration c = *s.store.current();
  c.accounts[0].server = "127.0.0.1";  // the default account: our own POP3 server
  c.accounts[2].server = "localhost";  // our own IMAP server
  c.accounts[2].proto = config::CollectProtocol::kImap;
  c.accounts[2].port = 1143;
  c.IMAP_SRV_PORT = 1143;
  c.POP3_SRV_PORT = 1110;
  c.accounts[0].port = 1110;
  s.store.publish(c);
  WriteAll(s.marker(), "");
  s.session.startSession();
  EXPECT_EQ(s.workers.started, (std::vector<std::string>{"smtp", "pop3 acc1"}));
  EXPECT_EQ(s.window.unstampedLines().back(),
            "POP3CLIENT> Счет 0 (127.0.0.1:1110, l) указывает на POP3 сервер этой программы, а не провайдера: не "
            "загружается. Задайте в нем сервер провайдера.\r\n");
  s.session.workerDone(link::WorkerId::kPop3Client);
  EXPECT_EQ(s.workers.started.size(), 2u) << "account 2 is ours too";
  EXPECT_FALSE(platform::FileExists(s.marker())) << "the download is over";
  EXPECT_EQ(s.window.unstampedLines().back().rfind("IMAPCLIENT> Счет 2 (localhost:1143, l) указывает на IMAP", 0), 0u);

  Session only(1, false);  // the default settings in a dial-up session: the download half is done at once
  config::Configuration d = *only.store.current();
  d.accounts[0].server = "127.0.0.1";
  only.store.publish(d);
  only.session.startSession();
  only.session.connected();
  EXPECT_EQ(only.workers.started, (std::vector<std::string>{"dialer", "smtp"}));
  EXPECT_EQ(only.session.sessionDoneMask(), kPop3ClientDone);
}

TEST(OwnServer, WhichHostsAreThisMachineAndWhichAccountsOurOwnServer) {
  struct Case {
    std::string host;
    bool thisMachine;
  };
  for (const Case& c : {Case{"127.0.0.1", true}, Case{"127.0.0.2", true}, Case{"::1", true}, Case{"localhost", true},
                        Case{"LocalHost", true}, Case{"0.0.0.0", true}, Case{"192.0.2.1", false},
                        Case{"pop.example.com", false}, Case{"", false}, Case{"127.0.0.1.example.com", false}}) {
    EXPECT_EQ(IsThisMachine(c.host), c.thisMachine) << c.host;
  }
  config::Configuration c = config::DefaultConfiguration("/q/");
  EXPECT_TRUE(NamesOwnPop3Server(c, c.accounts[0])) << "the default account";
  config::ProviderAccount a = c.accounts[0];
  a.port = 995;
  EXPECT_FALSE(NamesOwnPop3Server(c, a));
  a.tls = config::TlsMode::kImplicit;
  c.POP3_SRV_TLS_PORT = 995;
  EXPECT_FALSE(NamesOwnPop3Server(c, a)) << "our TLS port is open only with a certificate";
  c.TLS_CERT_FILE = "cert.pem";
  c.TLS_KEY_FILE = "key.pem";
  EXPECT_TRUE(NamesOwnPop3Server(c, a));
  a.server = "pop.example.com";
  EXPECT_FALSE(NamesOwnPop3Server(c, a));
  // An IMAP account is ours on the IMAP ports only, and not while the IMAP server is off.
  a = c.accounts[0];
  a.proto = config::CollectProtocol::kImap;
  EXPECT_FALSE(NamesOwnServer(c, a)) << "the POP3 port";
  c.IMAP_SRV_PORT = 143;
  a.port = 143;
  EXPECT_TRUE(NamesOwnServer(c, a));
  c.IMAP_SRV_PORT = 0;
  EXPECT_FALSE(NamesOwnServer(c, a));
}

TEST(SessionControl, DaemonMailAndTheTimetableStartSessionsOnTheTick) {
  Session s;
  s.clock.time.dayOfWeek = 1;  // Monday
  s.clock.time.hour = 10;
  s.clock.time.minute = 0;
  s.session.tick();
  EXPECT_TRUE(s.workers.started.empty());
  WriteAll(s.dir.file("daemon"), "From x\r\n\r\nsession, please\r\n");
  s.session.tick();
  EXPECT_FALSE(platform::FileExists(s.dir.file("daemon"))) << "the request is not kept";
  EXPECT_EQ(s.workers.started.size(), 2u);
  EXPECT_EQ(s.session.lastTrigger(), (dialup::ScheduleMinute{10, 0, 0}));
  // The timetable asks for 10:00 too: that minute has had its session.
  config::Configuration c = *s.store.current();
  c.SchedulerRecord[0] = {10, 0, 12, 0, 60};
  s.store.publish(c);
  for (int i = 0; i < 30; ++i) s.session.tick();
  EXPECT_EQ(s.workers.started.size(), 2u);
  s.clock.time.hour = 11;
  for (int i = 0; i < 30; ++i) s.session.tick();
  EXPECT_EQ(s.workers.started.size(), 4u) << "one session in the 11:00 minute";
  // While a settings dialog is open the session runs on the settings in memory.
  s.session.settingsDialogOpen = true;
  const int before = s.reloads;
  s.session.startSession();
  EXPECT_EQ(s.reloads, before);
}

// Daemon mail that cannot be removed asks for one session, says so in the log, and asks
// again only when more mail comes.
TEST(SessionControl, DaemonMailThatCannotBeRemovedAsksOnce) {
  Session s;
  WriteAll(s.dir.file("daemon"), "From x\r\n\r\nsession, please\r\n");
  {
    platform::FileFaultInjection faults;
    for (int i = 0; i < 3; ++i) {
      faults.failCall(platform::FileStep::kRemove, 1);
      s.session.tick();
    }
    EXPECT_TRUE(platform::FileExists(s.dir.file("daemon")));
    EXPECT_EQ(s.workers.started.size(), 2u) << "one session, not one a tick";
    const auto lines = s.window.unstampedLines();
    ASSERT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("daemon") != std::string::npos; }), 1);
    EXPECT_TRUE(lines.back().starts_with("SMTPSRV> Не могу удалить почту для daemon \"" + s.dir.file("daemon") + "\" ("))
        << lines.back();
    platform::AppendToFile(s.dir.file("daemon"), "more\r\n", false);
    faults.failCall(platform::FileStep::kRemove, 1);
    s.session.tick();
    EXPECT_EQ(s.workers.started.size(), 4u) << "new mail asks again";
  }
  s.session.tick();
  EXPECT_FALSE(platform::FileExists(s.dir.file("daemon")));
  EXPECT_EQ(s.workers.started.size(), 6u);
}

TEST(SessionControl, AnEmptyDaemonNameNeverCountsAsMail) {
  Session s;
  config::Configuration c = *s.store.current();
  c.Daemon.clear();
  s.store.publish(c);
  s.session.tick();
  EXPECT_TRUE(s.workers.started.empty());
  EXPECT_TRUE(platform::IsDirectory(s.dir.path()));
}

}  // namespace
}  // namespace quelma::app
