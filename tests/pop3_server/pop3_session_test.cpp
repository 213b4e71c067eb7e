// POP3 transcripts: the authorization table and every maildrop command, fed line by line.
#include <gtest/gtest.h>

#include "codec/md5.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "pop3_server/pop3_session.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/string_sink.h"
#include "support/temp_dir.h"

namespace quelma::pop3_server {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

using quelma::testing::StringSink;

std::string Sep(const char* id) { return std::string(spool::kMaildropMarker) + " " + id + "\r\n"; }

const std::string kThree = Sep("0000000A") + "Subject: one\r\n\r\nbody 1\r\n" + Sep("0000000B") +
                           "Subject: two\r\n\r\n.\r\n.dot\r\n..two\r\nend\r\n" + Sep("0000000C") + "Subject: 3\r\n";

struct Fixture {
  TempDir dir;
  testing::RecordingMainWindow window;
  link::ServerControl control;
  testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  std::shared_ptr<config::Configuration> config = std::make_shared<config::Configuration>();

  Fixture() {
    config->MailDropDir = dir.path();
    config->Daemon = "daemon";
    config->users = {{"ivan", "Secret1", ""}, {"open", "", ""}, {"daemon", "", ""}};
  }
  std::string maildrop() const { return dir.file("ivan"); }

  // Feeds the lines (CR LF added) and returns every reply; stops where the session ends.
  std::string run(const std::vector<std::string>& lines, bool* ended = nullptr, Pop3SessionOptions options = {},
                  bool* startTls = nullptr) {
    StringSink sink;
    Pop3Session session(config, log, sink, options);
    bool open = true;
    for (const auto& line : lines) {
      if (!(open = session.handleLine(line + "\r\n"))) break;
    }
    if (ended) *ended = !open;
    if (startTls) *startTls = session.startTlsRequested();
    return sink.text;
  }
};

const std::vector<std::string> kLogin = {"USER ivan", "PASS secret1"};

// With a certificate set CAPA lists what the server does, STLS among it until TLS is up or the
// user has logged in; without one both stay unknown, as before.
Pop3SessionOptions Stls(bool offered) { return {offered, "", nullptr, ""}; }

TEST(Pop3Session, CapaAndStls) {
  const std::string capa =
      "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nPIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n";
  const std::string begin = "+OK Begin TLS negotiation\r\n";
  const struct Case {
    const char* what;
    Pop3SessionOptions options;
    std::vector<std::string> lines;
    std::string replies;
    bool startTls;
  } cases[] = {
      {"no certificate: CAPA without STLS, STLS unknown", Stls(false), {"CAPA", "STLS"},
       capa + ".\r\n-ERR Send \"user username\"\r\n", false},
      {"CAPA with STLS", Stls(true), {"capa"}, capa + "STLS\r\n.\r\n", false},
      {"STLS taken", Stls(true), {"CAPA", "STLS", "USER ivan"}, capa + "STLS\r\n.\r\n" + begin, true},
      {"STLS between USER and PASS", Stls(true), {"USER ivan", "STLS"}, "+OK User recognized.\r\n" + begin, true},
      {"over TLS already: no STLS", Stls(false), {"CAPA", "STLS"}, capa + ".\r\n-ERR Send \"user username\"\r\n",
       false},
      {"logged in: CAPA without STLS, STLS unknown", Stls(true), {"USER ivan", "PASS secret1", "CAPA", "STLS"},
       "+OK User recognized.\r\n+OK Password recognized.\r\n" + capa + ".\r\n-ERR unknown command\r\n", false},
  };
  for (const Case& c : cases) {
    Fixture f;
    bool ended = false;
    bool startTls = false;
    EXPECT_EQ(f.run(c.lines, &ended, c.options, &startTls), c.replies) << c.what;
    EXPECT_EQ(startTls, c.startTls) << c.what;
    EXPECT_EQ(ended, c.startTls) << c.what << ": STLS ends this session, nothing else here does";
  }
}
std::vector<std::string> LoggedIn(std::vector<std::string> more) {
  std::vector<std::string> lines = kLogin;
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}
const std::string kLoginReplies = "+OK User recognized.\r\n+OK Password recognized.\r\n";
const std::string kNoticeId = "T" + codec::DigestToHex(codec::Md5Of("notice\r\n"));

TEST(Pop3Session, AuthorizationTable) {
  struct Case {
    std::vector<std::string> lines;
    std::string replies;
    bool loggedIn;
  };
  const std::string sendUser = "-ERR Send \"user username\"\r\n";
  const Case cases[] = {
      {{"user  ivan", "pass Secret1"}, kLoginReplies, true},
      {{"USER ivan@mydomain", "PASS secret1 other"}, kLoginReplies, true},
      {{"USER IVAN", "pass SECRET1-x"}, kLoginReplies, true},
      {{"USERivan"}, sendUser, false},
      {{"USER "}, sendUser, false},
      {{"HELO"}, sendUser, false},
      {{"USER petr"}, "-ERR User not recognized\r\n", false},
      {{"USER daemon"}, "-ERR User not recognized\r\n", false},
      {{"USER " + std::string(35, 'x')}, "-ERR User not recognized\r\n", false},
      {{"quit"}, "+OK bye!\r\n", false},
      {{"USER ivan", "NOOP"}, "+OK User recognized.\r\n-ERR Send \"pass password\"\r\n", false},
      {{"USER ivan", "QUITTING"}, "+OK User recognized.\r\n+OK bye!\r\n", false},
      {{"USER ivan", "PASS wrong", "PASS secret1"},
       "+OK User recognized.\r\n-ERR Password incorrect. Restart login with \"user username\"!\r\n" + sendUser, false},
      {{"USER open", "PASS"}, kLoginReplies, true},
      {{"USER open", "PASS anything at all"}, kLoginReplies, true},
  };
  for (const auto& c : cases) {
    Fixture f;
    StringSink sink;
    Pop3Session session(f.config, f.log, sink);
    for (const auto& line : c.lines) {
      if (!session.handleLine(line + "\r\n")) break;
    }
    EXPECT_EQ(sink.text, c.replies) << c.lines[0];
    EXPECT_EQ(session.loggedIn(), c.loggedIn) << c.lines[0];
  }
}

TEST(Pop3Session, WrongNamesAndPasswordsAreLogged) {
  Fixture f;
  f.run({"USER petr", "USER ivan", "PASS nope"});
  EXPECT_EQ(f.window.unstampedLines(),
            (std::vector<std::string>{"POP3SRV> Введено неправильное имя пользователя \"petr\"\r\n",
                                      "POP3SRV> Пользователь \"ivan\" ввел неправильный пароль\r\n"}));
}

// APOP with the greeting's stamp: the digest of stamp and password logs in (either case of
// hex digits); a wrong digest is a wrong password; without a stamp APOP is not known.
TEST(Pop3Session, Apop) {
  const std::string stamp = "<0000ABCD.12345678@office.ru>";
  const std::string good = codec::DigestToHex(codec::Md5Of(stamp + "Secret1"));
  std::string upper = good;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const struct Case {
    std::string stamp;
    std::vector<std::string> lines;
    std::string replies;
    bool loggedIn;
  } cases[] = {
      {stamp, {"APOP ivan " + good}, "+OK Password recognized.\r\n", true},
      {stamp, {"apop IVAN " + upper}, "+OK Password recognized.\r\n", true},
      {stamp, {"APOP ivan " + codec::DigestToHex(codec::Md5Of(stamp + "secret1"))},
       "-ERR Password incorrect. Restart login with \"user username\"!\r\n", false},
      {stamp, {"APOP ivan"}, "-ERR Password incorrect. Restart login with \"user username\"!\r\n", false},
      {stamp, {"APOP petr " + good}, "-ERR User not recognized\r\n", false},
      {stamp, {"APOP daemon " + good}, "-ERR User not recognized\r\n", false},
      {stamp, {"APOP open whatever"}, "+OK Password recognized.\r\n", true},
      {"", {"APOP ivan " + good}, "-ERR Send \"user username\"\r\n", false},
  };
  for (const Case& c : cases) {
    Fixture f;
    StringSink sink;
    Pop3Session session(f.config, f.log, sink, {false, "127.0.0.1", nullptr, c.stamp});
    for (const auto& line : c.lines) session.handleLine(line + "\r\n");
    EXPECT_EQ(sink.text, c.replies) << c.lines[0];
    EXPECT_EQ(session.loggedIn(), c.loggedIn) << c.lines[0];
  }
  EXPECT_EQ(Pop3Greeting(stamp), "+OK POP3 server ready. Please log in. " + stamp + "\r\n");
  const std::string a = serving::NewLoginChallenge("office.ru"), b = serving::NewLoginChallenge("");
  EXPECT_NE(a, b);
  EXPECT_TRUE(a.starts_with("<") && a.ends_with("@office.ru>") && b.ends_with("@quelma>")) << a << " " << b;
}

// Wrong passwords from one address lock it out at AUTH_FAIL_LIMIT: then even the right one is
// refused unchecked, with one log line, while another address still logs in.
TEST(Pop3Session, FailedLoginsLockTheAddressOut) {
  Fixture f;
  f.config->AUTH_FAIL_LIMIT = 3;
  serving::LoginGuard::Clock::time_point now{};
  serving::LoginGuard guard([&now] { return now; }, [](std::chrono::milliseconds) {});
  const Pop3SessionOptions attacker{false, "192.0.2.7", &guard, ""};
  const std::string wrong = "-ERR Password incorrect. Restart login with \"user username\"!\r\n";
  const std::string locked = "-ERR [SYS/TEMP] Too many failed logins from your address, try again later\r\n";
  EXPECT_EQ(f.run({"USER ivan", "PASS a", "USER ivan", "PASS b", "USER ivan", "PASS c", "USER ivan", "PASS secret1"},
                  nullptr, attacker),
            "+OK User recognized.\r\n" + wrong + "+OK User recognized.\r\n" + wrong + "+OK User recognized.\r\n" +
                wrong + "+OK User recognized.\r\n" + locked);
  EXPECT_EQ(f.run(kLogin, nullptr, {false, "192.0.2.8", &guard, ""}),
            "+OK User recognized.\r\n+OK Password recognized.\r\n");
  const auto lines = f.window.unstampedLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "POP3SRV> Вход с адреса 192.0.2.7 заблокирован на 10 минут: 3 неудачных попыток (AUTH_FAIL_LIMIT)\r\n"),
            1);
  now += std::chrono::minutes(10);
  EXPECT_EQ(f.run({"USER ivan", "PASS secret1", "QUIT"}, nullptr, attacker),
            "+OK User recognized.\r\n+OK Password recognized.\r\n+OK bye!\r\n");
}

// Who may send a password in clear, and who logs in without one. "Here" is this computer
// (127.0.0.1 to 127.0.0.1), "there" another (127.0.0.2 to 127.0.0.1); "tls" is after STLS or on
// the TLS port. USER refused for clear text is refused before the name is looked at; a user
// without a password from another computer is a wrong password; APOP is never refused for
// clear text.
TEST(Pop3Session, PlaintextLoginAndUsersWithoutPasswords) {
  using config::PlaintextLogin;
  const std::string capaBegin = "+OK Capability list follows\r\nTOP\r\n";
  const std::string capaEnd = "UIDL\r\nPIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n.\r\n";
  const std::string withUser = capaBegin + "USER\r\n" + capaEnd, withoutUser = capaBegin + capaEnd;
  const std::string refused = "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections\r\n";
  const std::string wrong = "-ERR Password incorrect. Restart login with \"user username\"!\r\n";
  const std::string stamp = "<1.2@office.ru>";
  const std::string apopIvan = "APOP ivan " + codec::DigestToHex(codec::Md5Of(stamp + "Secret1"));
  enum Where { kHere, kThere, kThereTls };
  const struct Case {
    const char* what;
    bool certificate;
    PlaintextLogin setting;
    Where where;
    std::vector<std::string> lines;
    std::string replies;
    bool loggedIn;
  } cases[] = {
      {"no certificate, default YES: from there", false, PlaintextLogin::kDefault, kThere, {"CAPA", "USER ivan", "PASS secret1"},
       withUser + kLoginReplies, true},
      {"certificate, default LOCAL: from here", true, PlaintextLogin::kDefault, kHere, {"CAPA", "USER ivan", "PASS secret1"},
       withUser + kLoginReplies, true},
      {"certificate, default LOCAL: from there", true, PlaintextLogin::kDefault, kThere, {"CAPA", "USER ivan", "USER petr"},
       withoutUser + refused + refused, false},
      {"certificate, default LOCAL: from there over TLS", true, PlaintextLogin::kDefault, kThereTls,
       {"CAPA", "USER ivan", "PASS secret1"}, withUser + kLoginReplies, true},
      {"LOCAL without a certificate: from there", false, PlaintextLogin::kLocal, kThere, {"USER ivan"}, refused, false},
      {"YES with a certificate: from there", true, PlaintextLogin::kYes, kThere, {"USER ivan", "PASS secret1"},
       kLoginReplies, true},
      {"NO: from here", false, PlaintextLogin::kNo, kHere, {"CAPA", "USER ivan"}, withoutUser + refused, false},
      {"NO: over TLS", true, PlaintextLogin::kNo, kThereTls, {"USER ivan", "PASS secret1"}, kLoginReplies, true},
      {"NO: APOP is no clear text", false, PlaintextLogin::kNo, kThere, {apopIvan}, "+OK Password recognized.\r\n", true},
      {"NO: a malformed USER is still only that", false, PlaintextLogin::kNo, kThere, {"USERivan"},
       "-ERR Send \"user username\"\r\n", false},
      {"no password: from here any password", false, PlaintextLogin::kDefault, kHere, {"USER open", "PASS x"}, kLoginReplies, true},
      {"no password: from there a wrong password", false, PlaintextLogin::kDefault, kThere, {"USER open", "PASS x"},
       "+OK User recognized.\r\n" + wrong, false},
      {"no password: from there not even over TLS", true, PlaintextLogin::kDefault, kThereTls, {"USER open", "PASS"},
       "+OK User recognized.\r\n" + wrong, false},
      {"no password: APOP from there", false, PlaintextLogin::kDefault, kThere, {"APOP open 0123"}, wrong, false},
      {"no password: APOP from here", false, PlaintextLogin::kDefault, kHere, {"APOP open 0123"},
       "+OK Password recognized.\r\n", true},
  };
  for (const Case& c : cases) {
    Fixture f;
    if (c.certificate) f.config->TLS_CERT_FILE = "cert.pem";
    f.config->PLAINTEXT_LOGIN = c.setting;
    Pop3SessionOptions options{false, "127.0.0.2", nullptr, stamp};
    options.secure = c.where == kThereTls;
    options.fromThisComputer = c.where == kHere;
    StringSink sink;
    Pop3Session session(f.config, f.log, sink, options);
    for (const auto& line : c.lines) session.handleLine(line + "\r\n");
    EXPECT_EQ(sink.text, c.replies) << c.what;
    EXPECT_EQ(session.loggedIn(), c.loggedIn) << c.what;
  }
}

// Unknown names (and the daemon's) count toward AUTH_FAIL_LIMIT with the growing delay of a
// wrong password, whether typed in USER or APOP, and the same texts; a user without a password
// tried from another computer counts as well.
TEST(Pop3Session, UnknownNamesAreCountedAndSlowedLikeWrongPasswords) {
  Fixture f;
  f.config->AUTH_FAIL_LIMIT = 4;
  serving::LoginGuard::Clock::time_point now{};
  std::vector<std::chrono::milliseconds> delays;
  serving::LoginGuard guard([&now] { return now; }, [&delays](std::chrono::milliseconds d) { delays.push_back(d); });
  Pop3SessionOptions there{false, "127.0.0.2", &guard, "<1.2@office.ru>"};
  there.fromThisComputer = false;
  const std::string unknown = "-ERR User not recognized\r\n";
  const std::string locked = "-ERR [SYS/TEMP] Too many failed logins from your address, try again later\r\n";
  EXPECT_EQ(f.run({"USER petr", "USER daemon", "APOP nobody 0123", "USER open", "PASS", "USER vasya", "USER ivan",
                   "PASS secret1"},
                  nullptr, there),
            unknown + unknown + unknown + "+OK User recognized.\r\n" +
                "-ERR Password incorrect. Restart login with \"user username\"!\r\n" + locked +
                "+OK User recognized.\r\n" + locked);
  using std::chrono::milliseconds;
  EXPECT_EQ(delays, (std::vector<milliseconds>{milliseconds(250), milliseconds(500), milliseconds(1000), milliseconds(2000)}));
  const auto lines = f.window.unstampedLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "POP3SRV> Введено неправильное имя пользователя \"petr\"\r\n"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "POP3SRV> Вход с адреса 127.0.0.2 заблокирован на 10 минут: 4 неудачных попыток (AUTH_FAIL_LIMIT)\r\n"),
            1);
  // Another address is not held up by them.
  EXPECT_EQ(f.run(kLogin, nullptr, {false, "127.0.0.1", &guard, ""}), kLoginReplies);
}

TEST(Pop3Session, TransactionCommands) {
  struct Case {
    std::string maildrop;  // "" = no maildrop file
    std::vector<std::string> lines;
    std::string replies;
  };
  const std::string none;
  const Case cases[] = {
      {none, {"STAT", "LIST", "LIST 1", "RETR 1", "TOP 1 1", "UIDL", "DELE 1", "NOOP"},
       "+OK 0 0 (maildrop empty)\r\n+OK 0 messages 0 octets. Scan listing follows:\r\n.\r\n"
       "+OK 0 messages 0 octets. Scan listing follows:\r\n.\r\n-ERR maildrop empty\r\n-ERR maildrop empty\r\n"
       "+OK UIDL listing follows.\r\n.\r\n-ERR No such message\r\n+OK no operation\r\n"},
      {none, {"UIDL 1"}, "-ERR maildrop empty\r\n"},
      {kThree, {"STAT", "LIST", "LIST 2", "LIST 4", "UIDL", "UIDL 3"},
       "+OK 3 73 (messages, octets) in the maildrop\r\n"
       "+OK 3 messages 73 octets. Scan listing follows.\r\n1 24\r\n2 37\r\n3 12\r\n.\r\n+OK 2 37\r\n"
       "-ERR No such message\r\n+OK UIDL listing follows.\r\n1 0000000A\r\n2 0000000B\r\n3 0000000C\r\n.\r\n"
       "+OK 3 0000000C\r\n"},
      {kThree, {"RETR 2"}, "+OK message text follows\r\nSubject: two\r\n\r\n..\r\n..dot\r\n...two\r\nend\r\n.\r\n"},
      {kThree, {"RETR 3", "RETR", "RETR 0", "RETR 99999999999999999999"},
       "+OK message text follows\r\nSubject: 3\r\n.\r\n-ERR Message number not specified\r\n"
       "-ERR no such message in maildrop\r\n-ERR no such message in maildrop\r\n"},
      {kThree, {"TOP 2 0", "top 2 1", "TOP 1 -3", "TOP 3 5", "TOP 2", "TOPX 1 1", "TOP 9 1"},
       "+OK Top of message follows\r\nSubject: two\r\n\r\n.\r\n+OK Top of message follows\r\nSubject: two\r\n\r\n..\r\n.\r\n"
       "+OK Top of message follows\r\nSubject: one\r\n\r\n.\r\n+OK Top of message follows\r\nSubject: 3\r\n.\r\n"
       "-ERR invalid syntax of TOP command.\r\n-ERR invalid syntax of TOP command.\r\n-ERR No such message\r\n"},
      {kThree, {"DELE 2", "STAT", "LIST", "RETR 2", "DELE 2", "LIST 2", "UIDL 2", "RSET", "LIST 2", "DELE", "DELE 4"},
       "+OK Message deleted\r\n+OK 2 36 (messages, octets) in the maildrop\r\n"
       "+OK 2 messages 36 octets. Scan listing follows.\r\n1 24\r\n3 12\r\n.\r\n-ERR no such message in maildrop\r\n"
       "-ERR Message already deleted\r\n-ERR No such message\r\n-ERR no such message in maildrop\r\n"
       "+OK RSET command completed\r\n+OK 2 37\r\n-ERR Message number not specified\r\n-ERR No such message\r\n"},
      {kThree, {"noop", "NoOpX", "STATUS", "HELP"},
       "+OK no operation\r\n+OK no operation\r\n+OK 3 73 (messages, octets) in the maildrop\r\n-ERR unknown command\r\n"},
      // Stray text before the first separator belongs to no message; a zero-size message is
      // counted like any other; a message under a short separator (an older notice) has an
      // id derived from its text.
      {"stray\r\n" + Sep("00000001") + Sep("00000002") + "x\r\n" + std::string(spool::kMaildropMarker) + "\r\nnotice\r\n" +
           Sep("00000004") + "y\r\n",
       {"STAT", "UIDL", "UIDL 3", "RETR 1", "LIST 1"},
       "+OK 4 14 (messages, octets) in the maildrop\r\n+OK UIDL listing follows.\r\n1 00000001\r\n2 00000002\r\n"
       "3 " + kNoticeId + "\r\n4 00000004\r\n.\r\n+OK 3 " + kNoticeId +
           "\r\n+OK message text follows\r\n.\r\n+OK 1 0\r\n"},
      {"only stray text\r\n", {"UIDL", "STAT", "RETR 1"},
       "+OK UIDL listing follows.\r\n.\r\n+OK 0 0 (messages, octets) in the maildrop\r\n-ERR maildrop empty\r\n"},
      {Sep("00000001") + "no line end", {"RETR 1"}, "+OK message text follows\r\nno line end\r\n.\r\n"},
      {Sep("00000001") + "From someone else\r\nbody\r\n", {"STAT"}, "+OK 1 25 (messages, octets) in the maildrop\r\n"},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (!c.maildrop.empty()) WriteAll(f.maildrop(), c.maildrop);
    EXPECT_EQ(f.run(LoggedIn(c.lines)), kLoginReplies + c.replies) << c.lines[0];
  }
}

TEST(Pop3Session, QuitCommitsTheDeletions) {
  struct Case {
    std::vector<std::string> lines;
    std::string fileAfter;
  };
  const Case cases[] = {
      {{"DELE 2", "QUIT"}, Sep("0000000A") + "Subject: one\r\n\r\nbody 1\r\n" + Sep("0000000C") + "Subject: 3\r\n"},
      {{"QUIT"}, "stray\r\n" + kThree},  // nothing deleted: nothing rewritten
      {{"DELE 1", "DELE 2", "DELE 3", "QUIT"}, "<missing>"},
      {{"DELE 1", "NOOP"}, kThree},  // no QUIT: nothing changes
  };
  for (const auto& c : cases) {
    Fixture f;
    WriteAll(f.maildrop(), "stray\r\n" + kThree);
    bool ended = false;
    const std::string replies = f.run(LoggedIn(c.lines), &ended);
    const bool quit = c.lines.back() == "QUIT";
    if (quit) {
      EXPECT_TRUE(replies.ends_with("+OK bye!\r\n")) << replies;
    }
    EXPECT_EQ(ended, quit);
    spool::WaitForCompactions();  // the deleted messages leave the file after the reply
    EXPECT_EQ(ReadAll(f.maildrop()), quit ? c.fileAfter : "stray\r\n" + kThree);
    EXPECT_TRUE(platform::ListDirectory(f.config->MailDropDir, spool::kCommitWorkFiles).empty());
  }
}

// A session on kThree that logged in and ran `lines`; its replies so far are dropped.
struct SessionOnThree {
  Fixture f;
  StringSink sink;
  Pop3Session session{f.config, f.log, sink};
  explicit SessionOnThree(const std::vector<std::string>& lines) {
    WriteAll(f.maildrop(), kThree);
    for (const auto& line : LoggedIn(lines)) session.handleLine(line + "\r\n");
    sink.text.clear();
  }
};

TEST(Pop3Session, MailAppendedDuringTheConnectionSurvivesTheCommit) {
  SessionOnThree s({"DELE 1"});
  auto& [f, sink, session] = s;
  ASSERT_EQ(spool::AppendToMaildrop(f.maildrop(), Sep("0000000D"), "late\r\n", false), spool::AppendResult::kAppended);
  EXPECT_FALSE(session.handleLine("QUIT\r\n"));
  spool::WaitForCompactions();
  EXPECT_EQ(ReadAll(f.maildrop()), kThree.substr(kThree.find(Sep("0000000B"))) + Sep("0000000D") + "late\r\n");
}

// The maildrop reordered behind the session's back (a restore, a hand): the index numbers it
// anew, and the session still reads and deletes the messages it listed, found by their ids.
TEST(Pop3Session, ADeletionFollowsItsMessageWhenTheMaildropIsNumberedAnew) {
  SessionOnThree s({"DELE 1"});
  auto& [f, sink, session] = s;
  const std::size_t b = kThree.find(Sep("0000000B")), c = kThree.find(Sep("0000000C"));
  const std::string one = kThree.substr(0, b), two = kThree.substr(b, c - b), three = kThree.substr(c);
  const std::uint32_t listed = spool::Mailbox::Open(f.maildrop())->index().uidValidity;
  WriteAll(f.maildrop(), three + two + one);
  const std::uint32_t before = spool::Mailbox::Open(f.maildrop())->index().uidValidity;  // another session's login
  ASSERT_NE(before, listed) << "numbered anew";
  EXPECT_TRUE(session.handleLine("TOP 3 0\r\n"));
  EXPECT_EQ(sink.text, "+OK Top of message follows\r\nSubject: 3\r\n.\r\n") << "the third as listed, not the third now";
  EXPECT_FALSE(session.handleLine("QUIT\r\n"));
  EXPECT_TRUE(sink.text.ends_with("+OK bye!\r\n")) << sink.text;
  EXPECT_EQ(spool::Mailbox::Open(f.maildrop())->index().uidValidity, before);
  spool::WaitForCompactions();
  EXPECT_EQ(ReadAll(f.maildrop()), three + two);
}

// A message that cannot be read whole (here: cut off behind the session's back) must never
// reach the client as if it were whole: the connection ends without the end line.
TEST(Pop3Session, AMessageThatCannotBeReadWholeEndsTheConnectionWithoutItsEndLine) {
  for (const char* command : {"RETR 2", "TOP 2 10"}) {
    SCOPED_TRACE(command);
    Fixture f;
    WriteAll(f.maildrop(), kThree);
    StringSink sink;
    Pop3Session session(f.config, f.log, sink);
    for (const auto& line : kLogin) ASSERT_TRUE(session.handleLine(line + "\r\n"));
    ASSERT_TRUE(platform::TruncateFile(f.maildrop(), kThree.find(".dot")));
    EXPECT_FALSE(session.handleLine(std::string(command) + "\r\n"));
    EXPECT_EQ(sink.text.find("\r\n.\r\n"), std::string::npos) << sink.text;
  }
}

TEST(Pop3Session, TheMaildropIsFoundWhateverCaseTheUserTyped) {
  Fixture f;
  f.config->users[0].name = "Ivan";
  WriteAll(f.dir.file("Ivan"), kThree);
  EXPECT_EQ(f.run({"USER IVAN", "PASS secret1", "STAT"}), kLoginReplies + "+OK 3 73 (messages, octets) in the maildrop\r\n");
}

TEST(Pop3Session, IndexGrowsPastTwoThousandMessages) {
  Fixture f;
  std::string drop;
  for (int i = 0; i < 2500; ++i) drop += spool::FormatMaildropSeparator(static_cast<std::uint32_t>(i)) + "\r\nm\r\n";
  WriteAll(f.maildrop(), drop);
  EXPECT_EQ(f.run(LoggedIn({"STAT", "UIDL 2500"})),
            kLoginReplies + "+OK 2500 7500 (messages, octets) in the maildrop\r\n+OK 2500 000009C3\r\n");
}

}  // namespace
}  // namespace quelma::pop3_server
