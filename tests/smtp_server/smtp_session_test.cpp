// SMTP transcripts: the greeting phase, MAIL and RCPT syntax, recipient classes and limits.
#include <gtest/gtest.h>

#include "smtp_server/smtp_session.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/string_sink.h"

namespace quelma::smtp_server {
namespace {

using quelma::testing::StringSink;

struct Fixture {
  testing::RecordingMainWindow window;
  link::ServerControl control;
  testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  std::shared_ptr<config::Configuration> config = std::make_shared<config::Configuration>();
  StringSink sink;
  SmtpSession session;
  std::vector<SmtpAction> actions;

  explicit Fixture(SmtpSessionOptions options = {}) : session(config, log, sink, options) {
    config->LocalDomain = "контора.ru";
    config->PostMaster = "postmaster";
    config->users = {{"postmaster", "", ""}, {"ivan", "", ""}};
  }
  std::string run(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
      actions.push_back(session.handleLine(line + "\r\n"));
      if (actions.back() == SmtpAction::kEnd) break;
    }
    return sink.text;
  }
};

const std::string kHello = "250 Hello pc1 - SMTP service is ready\r\n";

TEST(SmtpSession, GreetingPhase) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"helo pc1 more words"}, kHello},
      {{"HELO", "HELO pc1"}, "501 Syntax error\r\n" + kHello},
      {{"HELO "}, "250 Hello  - SMTP service is ready\r\n"},
      {{"QUIT"}, "221 Bye!\r\n"},
      {{"quit now"}, "221 Bye!\r\n"},
      {{"QUITX"}, "501 Syntax error\r\n"},
      {{"HELO " + std::string(80, 'n')}, "250 Hello " + std::string(63, 'n') + " - SMTP service is ready\r\n"},
  };
  for (const auto& [lines, replies] : cases) {
    Fixture f;
    EXPECT_EQ(f.run(lines), replies) << lines[0];
  }
}

// EHLO gets the extensions (STARTTLS only where a certificate is set); SMTP_EHLO = NO brings
// back the 501 for it. A second EHLO starts over as RSET does.
TEST(SmtpSession, EhloAndStartTls) {
  const std::string ehlo = "250-Hello pc1 - SMTP service is ready\r\n250-8BITMIME\r\n250-PIPELINING\r\n";
  const struct Case {
    const char* what;
    SmtpSessionOptions options;
    std::vector<std::string> lines;
    std::string replies;
    SmtpAction last;
  } cases[] = {
      {"EHLO off", {false, true, true, ""}, {"EHLO pc1", "HELO pc1"}, "501 Syntax error\r\n" + kHello, SmtpAction::kContinue},
      {"EHLO without a certificate", {}, {"EHLO pc1"}, ehlo + "250 SIZE\r\n", SmtpAction::kContinue},
      {"EHLO with one", {true, true, true, ""}, {"ehlo pc1"}, ehlo + "250-SIZE\r\n250 STARTTLS\r\n", SmtpAction::kContinue},
      {"STARTTLS taken", {true, true, true, ""}, {"EHLO pc1", "STARTTLS"},
       ehlo + "250-SIZE\r\n250 STARTTLS\r\n220 Ready to start TLS\r\n", SmtpAction::kStartTls},
      {"STARTTLS not offered", {}, {"EHLO pc1", "STARTTLS"}, ehlo + "250 SIZE\r\n500 Unknown command\r\n",
       SmtpAction::kContinue},
      {"STARTTLS before EHLO", {true, true, true, ""}, {"STARTTLS"}, "501 Syntax error\r\n", SmtpAction::kContinue},
      {"a second EHLO starts over", {}, {"EHLO pc1", "MAIL FROM:<a@b>", "EHLO pc1", "DATA"},
       ehlo + "250 SIZE\r\n250 OK\r\n" + ehlo + "250 SIZE\r\n503 Bad sequence of commands\r\n",
       SmtpAction::kContinue},
      {"HELO after EHLO", {}, {"EHLO pc1", "HELO pc1"}, ehlo + "250 SIZE\r\n504 HELO command already processed\r\n",
       SmtpAction::kContinue},
      {"a long name is cut", {}, {"EHLO " + std::string(80, 'n')},
       "250-Hello " + std::string(63, 'n') + " - SMTP service is ready\r\n250-8BITMIME\r\n250-PIPELINING\r\n250 SIZE\r\n",
       SmtpAction::kContinue},
  };
  for (const Case& c : cases) {
    Fixture f(c.options);
    EXPECT_EQ(f.run(c.lines), c.replies) << c.what;
    EXPECT_EQ(f.actions.back(), c.last) << c.what;
    EXPECT_TRUE(f.session.greeted() || c.lines[0] == "STARTTLS" || !c.options.ehlo) << c.what;
  }
}

// A client outside RELAY_NETWORKS hands in mail for local users only.
TEST(SmtpSession, OutsideRecipientsOnlyForClientsInTheRelayNetworks) {
  Fixture f({true, false, false, "192.0.2.7"});
  f.run({"HELO pc1"});
  EXPECT_EQ(f.run({"MAIL FROM:<a@b.ru>", "RCPT TO:<far@example.com>", "RCPT TO:<ivan@контора.ru>", "DATA"}),
            kHello + "250 OK\r\n550 5.7.1 Relaying denied\r\n250 OK\r\n354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  EXPECT_TRUE(f.session.envelope().outgoing.empty());
  EXPECT_EQ(f.session.envelope().local, std::vector<std::string>{"ivan"});
  bool logged = false;
  for (const auto& line : f.window.unstampedLines()) {
    logged = logged || line.find("far@example.com клиенту 192.0.2.7") != std::string::npos;
  }
  EXPECT_TRUE(logged) << "one log line names the address and the client";
}

TEST(SmtpSession, CommandsAndRecipients) {
  struct Case {
    std::vector<std::string> lines;
    std::string replies;
    std::vector<std::string> local, outgoing;
    std::string sender;
  };
  const std::string ok = "250 OK\r\n";
  const Case cases[] = {
      {{"MAIL FROM: <a@b.ru>", "RCPT TO:<IVAN@КОНТОРА.RU>", "RCPT TO:<x@example.com>"}, ok + ok + ok, {"IVAN"},
       {"x@example.com"}, "a@b.ru"},
      {{"MAIL FROM:a@b.ru", "RCPT TO: nobody@контора.ru", "RCPT TO:<ivan>", "RCPT TO:<ivan@контора.ru.evil>"},
       ok + "251 Unknown local recipient, will be forwarded to postmaster\r\n550 Unknown recipient\r\n" + ok,
       {"postmaster"}, {"ivan@контора.ru.evil"}, "a@b.ru"},
      {{"MAIL FROM <a@b.ru>", "DATA"}, "501 Syntax error\r\n503 Bad sequence of commands\r\n", {}, {}, ""},
      // The null reverse-path of bounces and receipts is a sender; no address at all is none.
      {{"MAIL FROM:<>", "RCPT TO:<ivan@контора.ru>", "DATA"},
       ok + ok + "354 Start mail input; end with <CRLF>.<CRLF>\r\n", {"ivan"}, {}, ""},
      {{"MAIL FROM:", "RCPT TO:<ivan@контора.ru>", "DATA"}, "501 Syntax error\r\n" + ok + "503 Bad sequence of commands\r\n",
       {"ivan"}, {}, ""},
      // "postmaster" without a domain, in any case, reaches the postmaster.
      {{"RCPT TO:<PostMaster>", "RCPT TO:<postmaster> NOTIFY=NEVER", "RCPT TO:<postmasterx>"},
       ok + ok + "550 Unknown recipient\r\n", {"postmaster", "postmaster"}, {}, ""},
      {{"RCPT TO:<ivan@контора.ru>", "RCPT TO:<ivan@контора.ru>", "RSETX", "NOOPING", "HELO again", "HELP"},
       ok + ok + ok + ok + "504 HELO command already processed\r\n500 Unknown command\r\n", {}, {}, ""},
      {{"RCPT TO:<ivan@контора.ru>", "RCPT TO:<ivan@контора.ru>"}, ok + ok, {"ivan", "ivan"}, {}, ""},
      {{"RCPT TO <ivan@контора.ru>"}, "501 Syntax error\r\n", {}, {}, ""},
      {{"MAIL FROM:<a@b.ru>", "RCPT TO:<ivan@контора.ru>", "DATA"},
       ok + ok + "354 Start mail input; end with <CRLF>.<CRLF>\r\n", {"ivan"}, {}, "a@b.ru"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.run({"HELO pc1"});
    EXPECT_EQ(f.run(c.lines), kHello + c.replies) << c.lines[0];
    EXPECT_EQ(f.session.envelope().local, c.local) << c.lines[0];
    EXPECT_EQ(f.session.envelope().outgoing, c.outgoing) << c.lines[0];
    EXPECT_EQ(f.session.envelope().sender, c.sender) << c.lines[0];
  }
}

TEST(SmtpSession, DataAsksForTheTextAndQuitEnds) {
  Fixture f;
  f.run({"HELO pc1", "MAIL FROM:<a@b.ru>", "RCPT TO:<x@y.ru>", "DATA", "QUIT"});
  EXPECT_EQ(f.actions, (std::vector<SmtpAction>{SmtpAction::kContinue, SmtpAction::kContinue, SmtpAction::kContinue,
                                               SmtpAction::kReceiveText, SmtpAction::kEnd}));
}

TEST(SmtpSession, AFullListRefusesEveryFurtherRecipientBeforeTheSyntaxCheck) {
  for (const std::string full : {"u@example.com", "ivan@контора.ru"}) {
    Fixture f;
    f.run({"HELO pc1"});
    for (int i = 0; i < 100; ++i) f.run({"RCPT TO:<" + full + ">"});
    f.sink.text.clear();
    EXPECT_EQ(f.run({"RCPT TO:<z@example.com>", "RCPT TO:<ivan@контора.ru>", "RCPT nonsense"}),
              "552 Exceeded maximum number of recipients (100)\r\n552 Exceeded maximum number of recipients (100)\r\n"
              "552 Exceeded maximum number of recipients (100)\r\n")
        << full;
    EXPECT_EQ(f.session.envelope().outgoing.size() + f.session.envelope().local.size(), 100u);
  }
}

TEST(SmtpSession, AddressesAreTakenAndCut) {
  const std::pair<std::string, std::string> cases[] = {
      {" <a@b.ru>", "a@b.ru"}, {"a@b.ru extra", "a@b.ru"}, {"<<  a@b.ru>>", "a@b.ru"},
      {"<>", ""},              {"", ""},                   {"<" + std::string(200, 'x') + ">", std::string(149, 'x')},
  };
  for (const auto& [rest, address] : cases) EXPECT_EQ(TakeAddress(rest + "\r\n"), address) << rest;
}

}  // namespace
}  // namespace quelma::smtp_server
