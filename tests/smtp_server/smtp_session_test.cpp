// SMTP transcripts: the greeting phase, MAIL and RCPT syntax, recipient classes and limits.
#include <gtest/gtest.h>

#include "codec/base64.h"
#include "codec/md5.h"
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

SmtpSessionOptions Options(bool ehlo, bool offerStartTls, bool mayRelay, std::string client) {
  SmtpSessionOptions o;
  o.ehlo = ehlo;
  o.offerStartTls = offerStartTls;
  o.mayRelay = mayRelay;
  o.client = std::move(client);
  return o;
}

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
      {"EHLO off", Options(false, true, true, ""), {"EHLO pc1", "HELO pc1"}, "501 Syntax error\r\n" + kHello, SmtpAction::kContinue},
      {"EHLO without a certificate", {}, {"EHLO pc1"}, ehlo + "250 SIZE\r\n", SmtpAction::kContinue},
      {"EHLO with one", Options(true, true, true, ""), {"ehlo pc1"}, ehlo + "250-SIZE\r\n250 STARTTLS\r\n", SmtpAction::kContinue},
      {"STARTTLS taken", Options(true, true, true, ""), {"EHLO pc1", "STARTTLS"},
       ehlo + "250-SIZE\r\n250 STARTTLS\r\n220 Ready to start TLS\r\n", SmtpAction::kStartTls},
      {"STARTTLS not offered", {}, {"EHLO pc1", "STARTTLS"}, ehlo + "250 SIZE\r\n500 Unknown command\r\n",
       SmtpAction::kContinue},
      {"STARTTLS before EHLO", Options(true, true, true, ""), {"STARTTLS"}, "501 Syntax error\r\n", SmtpAction::kContinue},
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
  Fixture f(Options(true, false, false, "192.0.2.7"));
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

// AUTH for local mail programs: what EHLO offers, each mechanism's exchange, refusals, relay
// after a login, and REQUIRED.
TEST(SmtpSession, Auth) {
  using config::SmtpServerAuth;
  const std::string challenge = "<0000ABCD.1234@office.ru>";
  const auto b64 = [](std::string_view s) { return codec::Base64Encode(s); };
  const std::string cram = b64("ivan " + codec::DigestToHex(codec::HmacMd5Of(challenge, "Secret1")));
  const std::string ok = "235 2.7.0 Authentication successful\r\n", bad = "535 5.7.8 Authentication credentials invalid\r\n";
  const std::string relayed = "250 OK\r\n250 OK\r\n", denied = "250 OK\r\n550 5.7.1 Relaying denied\r\n";
  const std::vector<std::string> send = {"MAIL FROM:<ivan@office.ru>", "RCPT TO:<far@example.com>"};
  const struct Case {
    const char* what;
    SmtpServerAuth auth;
    bool secure;
    std::vector<std::string> lines;  // after EHLO; then `send` is tried
    std::string replies;             // to `lines` and `send`
  } cases[] = {
      {"off: AUTH unknown", SmtpServerAuth::kNo, true, {"AUTH PLAIN " + b64(std::string("\0ivan\0Secret1", 13))},
       "500 Unknown command\r\n" + denied},
      {"PLAIN with the first answer", SmtpServerAuth::kYes, true, {"AUTH PLAIN " + b64(std::string("\0ivan\0secret1", 13))},
       ok + relayed},
      {"PLAIN asked for", SmtpServerAuth::kYes, true, {"auth plain", b64(std::string("ivan\0ivan\0Secret1", 17))},
       "334 \r\n" + ok + relayed},
      {"PLAIN for someone else", SmtpServerAuth::kYes, true, {"AUTH PLAIN " + b64(std::string("petr\0ivan\0Secret1", 17))},
       bad + denied},
      {"LOGIN", SmtpServerAuth::kYes, true, {"AUTH LOGIN", b64("ivan"), b64("Secret1")},
       "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n" + ok + relayed},
      {"LOGIN with the name first", SmtpServerAuth::kYes, true, {"AUTH LOGIN " + b64("ivan"), b64("wrong")},
       "334 UGFzc3dvcmQ6\r\n" + bad + denied},
      {"CRAM-MD5 in clear", SmtpServerAuth::kYes, false, {"AUTH CRAM-MD5", cram},
       "334 " + b64(challenge) + "\r\n" + ok + relayed},
      {"CRAM-MD5 wrong", SmtpServerAuth::kYes, false, {"AUTH CRAM-MD5", b64("ivan 0123")},
       "334 " + b64(challenge) + "\r\n" + bad + denied},
      {"PLAIN and LOGIN need TLS", SmtpServerAuth::kYes, false, {"AUTH PLAIN " + b64(std::string("\0ivan\0Secret1", 13)), "AUTH LOGIN"},
       "538 5.7.11 Encryption required for requested authentication mechanism\r\n"
       "538 5.7.11 Encryption required for requested authentication mechanism\r\n" + denied},
      {"a user without a password", SmtpServerAuth::kYes, true, {"AUTH PLAIN " + b64(std::string("\0open\0", 6))}, bad + denied},
      {"the daemon", SmtpServerAuth::kYes, true, {"AUTH PLAIN " + b64(std::string("\0daemon\0pw", 10))}, bad + denied},
      {"cancelled, not Base64, unknown", SmtpServerAuth::kYes, true, {"AUTH LOGIN", "*", "AUTH PLAIN", "ab!=", "AUTH NTLM"},
       "334 VXNlcm5hbWU6\r\n501 5.0.0 Authentication cancelled\r\n334 \r\n501 5.5.2 Cannot decode the answer\r\n"
       "504 5.5.4 Unrecognized authentication type\r\n" + denied},
      {"twice", SmtpServerAuth::kYes, false, {"AUTH CRAM-MD5", cram, "AUTH CRAM-MD5"},
       "334 " + b64(challenge) + "\r\n" + ok + "503 5.5.1 Already authenticated\r\n" + relayed},
      {"REQUIRED: no MAIL without it", SmtpServerAuth::kRequired, false, {},
       "530 5.7.0 Authentication required\r\n530 5.7.0 Authentication required\r\n"},
      {"REQUIRED and given", SmtpServerAuth::kRequired, false, {"AUTH CRAM-MD5", cram},
       "334 " + b64(challenge) + "\r\n" + ok + relayed},
  };
  for (const Case& c : cases) {
    SmtpSessionOptions options = Options(true, false, false, "192.0.2.9");
    options.secure = c.secure;
    options.challenge = challenge;
    Fixture f(options);
    f.config->SMTP_SRV_AUTH = c.auth;
    f.config->Daemon = "daemon";
    f.config->users = {{"postmaster", "", ""}, {"Ivan", "Secret1", ""}, {"open", "", ""}, {"daemon", "pw", ""}};
    const std::string ehlo = f.run({"EHLO pc"});
    const std::string offered = c.auth == SmtpServerAuth::kNo ? "" : c.secure ? "AUTH PLAIN LOGIN CRAM-MD5" : "AUTH CRAM-MD5";
    EXPECT_EQ(ehlo.find("AUTH") != std::string::npos, !offered.empty()) << c.what;
    EXPECT_TRUE(offered.empty() || ehlo.ends_with("250 " + offered + "\r\n")) << c.what << ehlo;
    std::vector<std::string> lines = c.lines;
    lines.insert(lines.end(), send.begin(), send.end());
    EXPECT_EQ(f.run(lines).substr(ehlo.size()), c.replies) << c.what;
  }
}

// Failed AUTH from one address locks it out: then the right password is refused unchecked.
TEST(SmtpSession, FailedAuthLocksTheAddressOut) {
  serving::LoginGuard guard([] { return serving::LoginGuard::Clock::time_point{}; }, [](std::chrono::milliseconds) {});
  const auto plain = [](std::string_view password) {
    return "AUTH PLAIN " + codec::Base64Encode(std::string("\0ivan\0", 6) + std::string(password));
  };
  const auto session = [&](const std::string& client, const std::vector<std::string>& lines) {
    SmtpSessionOptions options = Options(true, false, false, client);
    options.secure = true;
    options.guard = &guard;
    auto f = std::make_unique<Fixture>(options);
    f->config->SMTP_SRV_AUTH = config::SmtpServerAuth::kYes;
    f->config->AUTH_FAIL_LIMIT = 2;
    f->config->users = {{"ivan", "Secret1", ""}};
    const std::string ehlo = f->run({"EHLO pc"});
    return f->run(lines).substr(ehlo.size());
  };
  const std::string bad = "535 5.7.8 Authentication credentials invalid\r\n";
  EXPECT_EQ(session("192.0.2.1", {plain("a"), plain("b"), plain("Secret1")}),
            bad + bad + "535 5.7.8 Too many failed logins from your address, try again later\r\n");
  EXPECT_EQ(session("192.0.2.2", {plain("Secret1")}), "235 2.7.0 Authentication successful\r\n");
}

// PLAIN and LOGIN carry the password in clear: the SMTP server takes them only over TLS whatever
// PLAINTEXT_LOGIN says (CRAM-MD5 sends none); EHLO in clear offers CRAM-MD5 alone.
TEST(SmtpSession, PlainAndLoginNeedTlsWhateverPlaintextLoginSays) {
  using config::PlaintextLogin;
  const std::string refused = "538 5.7.11 Encryption required for requested authentication mechanism\r\n";
  for (const PlaintextLogin setting : {PlaintextLogin::kDefault, PlaintextLogin::kYes, PlaintextLogin::kLocal, PlaintextLogin::kNo}) {
    for (const bool certificate : {false, true}) {
      SCOPED_TRACE(std::string(config::PlaintextLoginName(setting)) + (certificate ? " with a certificate" : ""));
      Fixture f(Options(true, certificate, true, "127.0.0.1"));
      f.config->SMTP_SRV_AUTH = config::SmtpServerAuth::kYes;
      f.config->PLAINTEXT_LOGIN = setting;
      if (certificate) f.config->TLS_CERT_FILE = "cert.pem";
      const std::string ehlo = f.run({"EHLO pc"});
      EXPECT_TRUE(ehlo.ends_with("250 AUTH CRAM-MD5\r\n")) << ehlo;
      EXPECT_EQ(f.run({"AUTH PLAIN " + codec::Base64Encode(std::string("\0ivan\0", 6)), "AUTH LOGIN"}).substr(ehlo.size()),
                refused + refused);
    }
  }
}

// Names that are no user's count toward the lock-out as wrong passwords do.
TEST(SmtpSession, UnknownNamesCountTowardTheLockOut) {
  serving::LoginGuard guard([] { return serving::LoginGuard::Clock::time_point{}; }, [](std::chrono::milliseconds) {});
  SmtpSessionOptions options = Options(true, false, false, "192.0.2.3");
  options.secure = true;
  options.guard = &guard;
  options.challenge = "<1.2@office.ru>";
  Fixture f(options);
  f.config->SMTP_SRV_AUTH = config::SmtpServerAuth::kYes;
  f.config->AUTH_FAIL_LIMIT = 3;
  f.config->users = {{"ivan", "Secret1", ""}};
  const std::string ehlo = f.run({"EHLO pc"});
  const std::string bad = "535 5.7.8 Authentication credentials invalid\r\n";
  EXPECT_EQ(f.run({"AUTH PLAIN " + codec::Base64Encode(std::string("\0petr\0x", 7)), "AUTH LOGIN " + codec::Base64Encode("olga"),
                   codec::Base64Encode("x"), "AUTH CRAM-MD5", codec::Base64Encode("vasya 0123"),
                   "AUTH PLAIN " + codec::Base64Encode(std::string("\0ivan\0Secret1", 13))})
                .substr(ehlo.size()),
            bad + "334 UGFzc3dvcmQ6\r\n" + bad + "334 " + codec::Base64Encode("<1.2@office.ru>") + "\r\n" + bad +
                "535 5.7.8 Too many failed logins from your address, try again later\r\n");
}

// A name sent in AUTH never writes a line of its own into the log.
TEST(SmtpSession, AuthNamesInTheLogAreShownHarmless) {
  SmtpSessionOptions options = Options(true, false, false, "192.0.2.5");
  options.secure = true;
  Fixture f(options);
  f.config->SMTP_SRV_AUTH = config::SmtpServerAuth::kYes;
  f.run({"EHLO pc", "AUTH LOGIN " + codec::Base64Encode("x\r\n01 Jan 2026 00:00:00 SMTPSRV> forged"),
         codec::Base64Encode("pw")});
  const auto lines = f.window.unstampedLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "SMTPSRV> Неудачная попытка входа \"x??01 Jan 2026 00:00:00 SMTPSRV> forged\" (AUTH LOGIN) с адреса 192.0.2.5\r\n");
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
