// The POP3 client session fed a provider's replies from a script, without a socket: every
// error number the dialogue can end with, APOP and USER/PASS, and the download files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "config/configuration.h"
#include "link/activity_log.h"
#include "link/server_control.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "pop3_client/pop3_client_session.h"
#include "net/sasl_oauth.h"
#include "spool/download_files.h"
#include "support/fake_access_tokens.h"
#include "support/fake_tls.h"
#include "support/recorded_log.h"
#include "support/scripted_stream.h"
#include "support/temp_dir.h"

namespace quelma::pop3_client {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::ScriptedStream;

using Lines = std::vector<std::string>;

// The time stamp and digest of the APOP example: "mrose" with the secret "tanstaaf".
const std::string kStamp = "<1896.697170952@dbc.mtview.ca.us>";
const std::string kApopLine = "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n";

// The provider's mailbox: messages in transfer form (dot-stuffed, without the end line). A
// command word found in `replies` gets that reply instead ("" leaves it unanswered).
struct Mailbox {
  std::vector<std::string> messages;
  std::map<std::string, std::string> replies;
  bool pipelining = false;  // announced in the CAPA listing

  std::optional<std::string> operator()(const std::string& line) const {
    const std::string verb = line.substr(0, line.find_first_of(" \r\n"));
    if (const auto found = replies.find(verb); found != replies.end()) return found->second;
    const unsigned long n = std::strtoul(line.c_str() + verb.size(), nullptr, 10);
    const bool exists = n >= 1 && n <= messages.size();
    if (verb == "stat") {
      std::size_t octets = 0;
      for (const auto& m : messages) octets += m.size();
      return "+OK " + std::to_string(messages.size()) + " " + std::to_string(octets) + "\r\n";
    }
    if (verb == "capa") return std::string("+OK\r\nUSER\r\nUIDL\r\n") + (pipelining ? "PIPELINING\r\n" : "") + ".\r\n";
    if (verb == "list") {
      std::string listing = "+OK scan listing\r\n";
      for (std::size_t i = 0; i < messages.size(); ++i) {
        listing += std::to_string(i + 1) + " " + std::to_string(messages[i].size()) + "\r\n";
      }
      return listing + ".\r\n";
    }
    if (verb == "retr") {
      return exists ? "+OK message follows\r\n" + messages[n - 1] + ".\r\n" : "-ERR no such message\r\n";
    }
    if (verb == "quit") return "+OK bye\r\n";
    return "+OK\r\n";  // APOP, user, pass, dele
  }
};

// One session over a scripted stream, with the program directory in a fresh temporary one.
struct Session : quelma::testing::RecordedLog {
  quelma::testing::TempDir dir;
  config::ProviderAccount account{"pop.provider.test", "login", "secret", 110, "*", 0, {}, {}, {}, {}};

  Pop3ClientError run(ScriptedStream& stream, std::string programDir = "", const net::TlsClient* stls = nullptr,
                      net::AccessTokenSource* tokens = nullptr) {
    if (programDir.empty()) programDir = dir.path();
    Pop3ClientSession session(stream, account, programDir, log, window, nullptr, stls, tokens);
    return session.run();
  }
  bool logged(const std::string& text) const { return RecordedLog::logged("POP3CLIENT> " + text); }
  std::vector<std::string> files(const char* pattern) const { return platform::ListDirectory(dir.path(), pattern); }
  // The download file of message n, named after the account.
  std::string popfile(std::size_t n) const {
    return spool::AccountKey(account.server, account.login) + "-" + std::to_string(n) + ".popfile";
  }
};

const std::vector<std::string> kOneMessage = {"Subject: a\r\n\r\nbody\r\n"};

TEST(Pop3ClientSession, EveryErrorTheDialogueCanEndWith) {
  const Lines upToStat = {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n"};
  const Lines upToList = {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n"};
  const Lines upToRetr = {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n", "retr 1\r\n"};
  const Lines upToDele = {"user login\r\n",  "pass secret\r\n", "capa\r\n", "stat\r\n",
                          "list\r\n",        "retr 1\r\n",      "dele 1\r\n"};
  const struct Case {
    const char* name;
    std::string greeting;
    std::map<std::string, std::string> replies;
    Pop3ClientError error;
    Lines sent;
    std::size_t failSendsFrom = 0;
    bool closes = false;  // the peer closes when it has nothing more to say (else: a time-out)
    std::uint32_t useApop = 0;
    bool downloaded = false;  // message 1's download file is left for the sorter
  } cases[] = {
      {"no greeting", "", {}, Pop3ClientError::kGreetingReceive, {}},
      {"greeting cut off", "+OK rea", {}, Pop3ClientError::kGreetingReceive, {}, 0, true},
      {"greeting refused", "-ERR too busy\r\n", {}, Pop3ClientError::kGreetingNegative, {}},
      {"USER not sent", "+OK\r\n", {}, Pop3ClientError::kUserSend, {}, 1},
      {"APOP not sent", "+OK " + kStamp + "\r\n", {}, Pop3ClientError::kUserSend, {}, 1, false, 1},
      {"USER unanswered", "+OK\r\n", {{"user", ""}}, Pop3ClientError::kUserReceive, {"user login\r\n"}},
      {"USER answered by a close", "+OK\r\n", {{"user", ""}}, Pop3ClientError::kUserReceive, {"user login\r\n"}, 0,
       true},
      {"APOP unanswered", "+OK " + kStamp + "\r\n", {{"APOP", ""}}, Pop3ClientError::kUserReceive, {kApopLine}, 0,
       false, 1},
      {"USER reply cut off", "+OK\r\n", {{"user", "+OK na"}}, Pop3ClientError::kUserReceiveRest, {"user login\r\n"}},
      {"APOP reply cut off", "+OK " + kStamp + "\r\n", {{"APOP", "-ER"}}, Pop3ClientError::kUserReceiveRest,
       {kApopLine}, 0, true, 1},
      {"PASS not sent", "+OK\r\n", {}, Pop3ClientError::kPassSend, {"user login\r\n"}, 2},
      {"PASS unanswered", "+OK\r\n", {{"pass", ""}}, Pop3ClientError::kPassReceive,
       {"user login\r\n", "pass secret\r\n"}},
      {"PASS reply cut off", "+OK\r\n", {{"pass", "+OK maildrop"}}, Pop3ClientError::kPassReceiveRest,
       {"user login\r\n", "pass secret\r\n"}, 0, true},
      {"CAPA not sent", "+OK\r\n", {}, Pop3ClientError::kCapaSend, {"user login\r\n", "pass secret\r\n"}, 3},
      {"CAPA unanswered", "+OK\r\n", {{"capa", ""}}, Pop3ClientError::kCapaReceive,
       {"user login\r\n", "pass secret\r\n", "capa\r\n"}},
      {"CAPA listing cut off", "+OK\r\n", {{"capa", "+OK\r\nUSER\r\n"}}, Pop3ClientError::kCapaReceive,
       {"user login\r\n", "pass secret\r\n", "capa\r\n"}, 0, true},
      {"STAT not sent", "+OK\r\n", {}, Pop3ClientError::kStatSend, {"user login\r\n", "pass secret\r\n", "capa\r\n"}, 4},
      {"STAT unanswered", "+OK\r\n", {{"stat", ""}}, Pop3ClientError::kStatReceive,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n"}},
      {"STAT reply cut off", "+OK\r\n", {{"stat", "+OK 1 2"}}, Pop3ClientError::kStatReceive,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n"}},
      {"QUIT of an empty mailbox not sent", "+OK\r\n", {{"stat", "+OK 0 0\r\n"}}, Pop3ClientError::kQuitSend,
       upToStat, 5},
      {"QUIT after the download not sent", "+OK\r\n", {}, Pop3ClientError::kQuitSend, upToDele, 8, false, 0, true},
      {"LIST not sent", "+OK\r\n", {}, Pop3ClientError::kListSend, upToStat, 5},
      {"LIST unanswered", "+OK\r\n", {{"list", ""}}, Pop3ClientError::kListReceive, upToList},
      {"LIST reply cut off", "+OK\r\n", {{"list", "+OK 1"}}, Pop3ClientError::kListReceive, upToList, 0, true},
      {"LIST listing cut off", "+OK\r\n", {{"list", "+OK\r\n1 20\r\n"}}, Pop3ClientError::kListReceive, upToList,
       0, true},
      {"LIST listing beyond the mailbox", "+OK\r\n", {{"list", "+OK\r\n2 20\r\n.\r\n"}},
       Pop3ClientError::kListReceive, upToList},
      {"RETR not sent", "+OK\r\n", {}, Pop3ClientError::kRetrSend, upToList, 6},
      {"RETR unanswered", "+OK\r\n", {{"retr", ""}}, Pop3ClientError::kRetrReceive, upToRetr},
      {"RETR status line cut off", "+OK\r\n", {{"retr", "+OK 22 oct"}}, Pop3ClientError::kRetrStatusLine, upToRetr},
      {"RETR text cut off", "+OK\r\n", {{"retr", "+OK\r\nSubject: a\r\n"}}, Pop3ClientError::kRetrText, upToRetr},
      {"RETR text cut off by a close", "+OK\r\n", {{"retr", "+OK\r\nSubject: a\r\n\r\nbody\r\n."}},
       Pop3ClientError::kRetrText, upToRetr, 0, true},
      {"DELE not sent", "+OK\r\n", {}, Pop3ClientError::kDeleSend, upToRetr, 7, false, 0, true},
      {"DELE unanswered", "+OK\r\n", {{"dele", ""}}, Pop3ClientError::kDeleReceive, upToDele, 0, false, 0, true},
      {"DELE reply cut off", "+OK\r\n", {{"dele", "+OK del"}}, Pop3ClientError::kDeleReceive, upToDele, 0, true, 0,
       true},
      {"USER refused", "+OK\r\n", {{"user", "-ERR who\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "quit\r\n"}},
      {"PASS refused", "+OK\r\n", {{"pass", "-ERR bad password\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "quit\r\n"}},
      {"STAT refused", "+OK\r\n", {{"stat", "-ERR locked\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "quit\r\n"}},
      {"LIST refused", "+OK\r\n", {{"list", "-ERR no\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n", "quit\r\n"}},
      {"RETR refused", "+OK\r\n", {{"retr", "-ERR no\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n", "retr 1\r\n", "quit\r\n"}},
      {"DELE refused", "+OK\r\n", {{"dele", "-ERR no\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n", "retr 1\r\n", "dele 1\r\n", "quit\r\n"}, 0,
       false, 0, true},
      {"USER refused, and its QUIT not sent", "+OK\r\n", {{"user", "-ERR who\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n"}, 2},
      {"a reply that is no status at all", "+OK\r\n", {{"pass", "\r\n"}}, Pop3ClientError::kNegativeReply,
       {"user login\r\n", "pass secret\r\n", "quit\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    if (c.useApop != 0) s.account = {"pop.provider.test", "mrose", "tanstaaf", 110, "*", c.useApop, {}, {}, {}, {}};
    ScriptedStream stream(c.greeting, Mailbox{kOneMessage, c.replies});
    stream.failSendsFrom = c.failSendsFrom;
    if (c.closes) stream.closeWhenDrained();
    EXPECT_EQ(s.run(stream), c.error);
    EXPECT_EQ(stream.lines, c.sent);
    EXPECT_EQ(s.files("*.popfile"), c.downloaded ? Lines{s.popfile(1)} : Lines{});
    EXPECT_EQ(s.files("*.part"), Lines{}) << "an unfinished download file is never left behind";
  }
}

TEST(Pop3ClientSession, ADownloadFileThatCannotBeCreatedEndsTheRunBeforeDele) {
  Session s;
  ScriptedStream stream("+OK\r\n", Mailbox{kOneMessage, {}});
  EXPECT_EQ(s.run(stream, s.dir.file("missing") + platform::kPathSeparator), Pop3ClientError::kDownloadFile);
  EXPECT_EQ(stream.lines, (Lines{"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n", "retr 1\r\n"}))
      << "no DELE for a message that is not on disk";
}

TEST(Pop3ClientSession, LogsInWithApopOrUserAndPass) {
  const struct Case {
    const char* name;
    std::string greeting;
    std::uint32_t useApop;
    std::string apopReply;
    Lines sent;
    const char* logged;  // a log line the login leaves
  } cases[] = {
      {"APOP with the greeting's time stamp", "+OK POP3 server ready " + kStamp + "\r\n", 1, "+OK maildrop ready\r\n",
       {kApopLine, "capa\r\n", "stat\r\n", "quit\r\n"}, "Пароль распознан сервером: сервер готов к работе.\r\n"},
      {"APOP refused: USER and PASS on the same connection", "+OK ready " + kStamp + "\r\n", 1,
       "-ERR permission denied\r\n", {kApopLine, "user mrose\r\n", "pass tanstaaf\r\n", "capa\r\n", "stat\r\n", "quit\r\n"},
       "Trying plain login\r\n"},
      {"APOP asked for but no time stamp", "+OK ready\r\n", 1, "+OK\r\n",
       {"user mrose\r\n", "pass tanstaaf\r\n", "capa\r\n", "stat\r\n", "quit\r\n"}, "Имя пользователя распознано сервером\r\n"},
      {"a time stamp but APOP not asked for", "+OK ready " + kStamp + "\r\n", 0, "+OK\r\n",
       {"user mrose\r\n", "pass tanstaaf\r\n", "capa\r\n", "stat\r\n", "quit\r\n"}, "Имя пользователя распознано сервером\r\n"},
      {"an opening bracket without its close is no time stamp", "+OK ready <1896.697170952\r\n", 1, "+OK\r\n",
       {"user mrose\r\n", "pass tanstaaf\r\n", "capa\r\n", "stat\r\n", "quit\r\n"}, "Сервер готов.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.account = {"pop.provider.test", "mrose", "tanstaaf", 110, "*", c.useApop, {}, {}, {}, {}};
    ScriptedStream stream(c.greeting, Mailbox{{}, {{"APOP", c.apopReply}}});
    EXPECT_EQ(s.run(stream), Pop3ClientError::kNone);
    EXPECT_EQ(stream.lines, c.sent);
    EXPECT_TRUE(s.logged(c.logged));
  }
}

// With tls=stls nothing but CAPA and STLS (or the QUIT of a refusal) goes out in clear; the
// login and the mail go through TLS, whatever the server sent before its handshake.
TEST(Pop3ClientSession, StlsComesBeforeTheLoginOrNothingDoes) {
  const std::string withStls = "+OK\r\nUSER\r\nSTLS\r\n.\r\n";
  const struct Case {
    const char* name;
    std::string capa, stls;
    net::TlsFailure handshake;  // kNone: it succeeds
    Pop3ClientError error;
    Lines plainSent;
    const char* logged;
  } cases[] = {
      {"offered and taken", withStls, "+OK begin TLS\r\n", net::TlsFailure::kNone, Pop3ClientError::kNone,
       {"CAPA\r\n", "STLS\r\n"}, "Установлено защищенное соединение: TLSv1.3, FAKE\r\n"},
      {"bytes injected before the handshake are dropped", withStls, "+OK begin TLS\r\n-ERR injected\r\n",
       net::TlsFailure::kNone, Pop3ClientError::kNone, {"CAPA\r\n", "STLS\r\n"}, "STLS\r\n"},
      {"CAPA without STLS", "+OK\r\nUSER\r\nstlsx\r\n.\r\n", "", net::TlsFailure::kNone,
       Pop3ClientError::kStlsNotOffered, {"CAPA\r\n", "quit\r\n"}, "Сервер не предлагает STLS\r\n"},
      {"no CAPA at all", "-ERR unknown command\r\n", "", net::TlsFailure::kNone, Pop3ClientError::kStlsNotOffered,
       {"CAPA\r\n", "quit\r\n"}, "Вход без шифрования запрещен настройками счета\r\n"},
      {"STLS refused", withStls, "-ERR not now\r\n", net::TlsFailure::kNone, Pop3ClientError::kStlsNotOffered,
       {"CAPA\r\n", "STLS\r\n", "quit\r\n"}, "Сервер отказал в STLS: -ERR not now\r\n"},
      {"CAPA unanswered", "", "", net::TlsFailure::kNone, Pop3ClientError::kStlsReceive, {"CAPA\r\n"}, "Сервер готов.\r\n"},
      {"CAPA listing cut off", "+OK\r\nSTLS\r\n", "", net::TlsFailure::kNone, Pop3ClientError::kStlsReceive,
       {"CAPA\r\n"}, "Сервер готов.\r\n"},
      {"untrusted certificate", withStls, "+OK\r\n", net::TlsFailure::kUntrusted, Pop3ClientError::kTlsUntrusted,
       {"CAPA\r\n", "STLS\r\n"}, "TLS: сертификат сервера \"provider.test\" выдан неизвестным издателем \"CN=Unknown CA\"\r\n"},
      {"handshake failed", withStls, "+OK\r\n", net::TlsFailure::kHandshake, Pop3ClientError::kTlsHandshake,
       {"CAPA\r\n", "STLS\r\n"}, "TLS: не удалось установить защищенное соединение с \"provider.test\"\r\n"},
      {"pin mismatch", withStls, "+OK\r\n", net::TlsFailure::kPin, Pop3ClientError::kTlsPin, {"CAPA\r\n", "STLS\r\n"},
       "TLS: отпечаток SHA-256 сертификата сервера 0000000000000000000000000000000000000000000000000000000000000000 "
       "не совпадает с заданным \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    ScriptedStream plain("+OK ready\r\n", [&c](const std::string& line) -> std::optional<std::string> {
      if (line == "CAPA\r\n") return c.capa;
      if (line == "STLS\r\n") return c.stls;
      if (line == "quit\r\n") return std::string("+OK bye\r\n");
      return std::string("-ERR in clear\r\n");
    });
    plain.closeWhenDrained();
    ScriptedStream secure("", Mailbox{kOneMessage, {}});
    quelma::testing::FakeTls tls(c.handshake == net::TlsFailure::kNone ? &secure : nullptr, c.handshake);
    const net::TlsClient client = tls.client();
    EXPECT_EQ(s.run(plain, "", &client), c.error);
    EXPECT_EQ(plain.lines, c.plainSent);
    EXPECT_EQ(plain.sent.find("pass"), std::string::npos);
    if (c.error == Pop3ClientError::kNone) {
      EXPECT_EQ(secure.lines.front(), "user login\r\n");
      EXPECT_EQ(secure.lines.back(), "quit\r\n");
      EXPECT_EQ(s.files("*.popfile").size(), 1u);
    }
    EXPECT_TRUE(s.logged(c.logged)) << platform::Cp1251ToUtf8(s.transcript());
  }
}

// An OAuth login: CAPA must list the mechanism; "AUTH MECHANISM", the server's "+", then the
// token. A refusal (with or without the server's error challenge) gets one more try with a
// renewed token; no token at all ends the run before anything is sent. No token is logged.
TEST(Pop3ClientSession, LogsInWithAnAccessTokenOrSaysWhyNot) {
  const std::string challenge = "+ " + codec::Base64Encode(R"({"status":"401","schemes":"bearer","scope":"https://mail.google.com/"})") + "\r\n";
  const std::string xoauth1 = net::Xoauth2Response("me@office.test", "tok-1") + "\r\n";
  const std::string xoauth2 = net::Xoauth2Response("me@office.test", "tok-2") + "\r\n";
  const std::string bearer1 = net::OauthBearerResponse("me@office.test", "pop.provider.test", 995, "tok-1") + "\r\n";
  const std::string sasl = "+OK\r\nUSER\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
  const std::string afterLogin[] = {"capa\r\n", "stat\r\n", "quit\r\n"};
  const struct Case {
    const char* name;
    config::OauthMechanism mechanism;
    std::string capa;
    std::vector<std::string> afterToken;  // the server's answers to each token line, in turn
    std::deque<std::string> tokens;
    bool loginNeeded;
    Pop3ClientError error;
    Lines sent;
    std::vector<bool> requests;
    const char* logged;
  } cases[] = {
      {"XOAUTH2 taken", config::OauthMechanism::kXoauth2, sasl, {"+OK welcome\r\n"}, {"tok-1"}, false,
       Pop3ClientError::kNone, {"CAPA\r\n", "AUTH XOAUTH2\r\n", xoauth1, "capa\r\n", "stat\r\n", "quit\r\n"},
       {false}, "Маркер доступа принят сервером: сервер готов к работе.\r\n"},
      {"OAUTHBEARER taken", config::OauthMechanism::kOauthBearer, sasl, {"+OK\r\n"}, {"tok-1"}, false,
       Pop3ClientError::kNone, {"CAPA\r\n", "AUTH OAUTHBEARER\r\n", bearer1, "capa\r\n", "stat\r\n", "quit\r\n"},
       {false}, "AUTH OAUTHBEARER\r\n"},
      {"an expired token: the challenge answered, a renewed token taken", config::OauthMechanism::kXoauth2, sasl,
       {challenge, "+OK\r\n"}, {"tok-1", "tok-2"}, false, Pop3ClientError::kNone,
       {"CAPA\r\n", "AUTH XOAUTH2\r\n", xoauth1, "\r\n", "AUTH XOAUTH2\r\n", xoauth2, "capa\r\n", "stat\r\n",
        "quit\r\n"},
       {false, true}, "Ответ сервера на маркер доступа: status 401, scope https://mail.google.com/, schemes bearer\r\n"},
      {"OAUTHBEARER's challenge is answered with ^A", config::OauthMechanism::kOauthBearer, sasl,
       {challenge, "+OK\r\n"}, {"tok-1", "tok-2"}, false, Pop3ClientError::kNone,
       {"CAPA\r\n", "AUTH OAUTHBEARER\r\n", bearer1, "AQ==\r\n", "AUTH OAUTHBEARER\r\n",
        net::OauthBearerResponse("me@office.test", "pop.provider.test", 995, "tok-2") + "\r\n", "capa\r\n",
        "stat\r\n", "quit\r\n"},
       {false, true}, "Сервер не принял маркер доступа: -ERR [AUTH] Authentication failed.\r\n"},
      {"refused twice", config::OauthMechanism::kXoauth2, sasl, {"-ERR [AUTH] no\r\n", "-ERR [AUTH] no\r\n"},
       {"tok-1", "tok-2"}, false, Pop3ClientError::kAuthRefused,
       {"CAPA\r\n", "AUTH XOAUTH2\r\n", xoauth1, "AUTH XOAUTH2\r\n", xoauth2, "quit\r\n"}, {false, true},
       "Сервер не принял маркер доступа: -ERR [AUTH] no\r\n"},
      {"the mechanism not offered", config::OauthMechanism::kOauthBearer, "+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n", {},
       {"tok-1"}, false, Pop3ClientError::kAuthNotOffered, {"CAPA\r\n", "quit\r\n"}, {},
       "Сервер не предлагает вход OAUTHBEARER, заданный для счета\r\n"},
      {"no CAPA", config::OauthMechanism::kXoauth2, "-ERR what\r\n", {}, {"tok-1"}, false,
       Pop3ClientError::kAuthNotOffered, {"CAPA\r\n", "quit\r\n"}, {}, "Сервер готов.\r\n"},
      {"never authorised", config::OauthMechanism::kXoauth2, sasl, {}, {}, true, Pop3ClientError::kOauthLogin,
       {"CAPA\r\n", "quit\r\n"}, {false}, "Сервер готов.\r\n"},
      {"the platform out of reach", config::OauthMechanism::kXoauth2, sasl, {}, {}, false,
       Pop3ClientError::kOauthToken, {"CAPA\r\n", "quit\r\n"}, {false}, "Сервер готов.\r\n"},
      {"AUTH cut off", config::OauthMechanism::kXoauth2, sasl, {"+OK we"}, {"tok-1"}, false,
       Pop3ClientError::kAuthReceive, {"CAPA\r\n", "AUTH XOAUTH2\r\n", xoauth1}, {false}, "AUTH XOAUTH2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.account = {"pop.provider.test", "me@office.test", "", 995, "*", 0, config::TlsMode::kImplicit, {}, c.mechanism, {}};
    std::size_t answered = 0;
    ScriptedStream stream("+OK ready\r\n", [&](const std::string& line) -> std::optional<std::string> {
      if (line == "CAPA\r\n") return c.capa;
      if (line.starts_with("AUTH ")) return std::string("+ \r\n");
      if (line == "\r\n" || line == "AQ==\r\n") return std::string("-ERR [AUTH] Authentication failed.\r\n");
      if (line.size() > 40) return answered < c.afterToken.size() ? c.afterToken[answered++] : std::string("-ERR\r\n");
      return Mailbox{{}, {{"stat", "+OK 0 0\r\n"}}}(line);
    });
    stream.closeWhenDrained();
    quelma::testing::FakeAccessTokens tokens(c.tokens, c.loginNeeded);
    EXPECT_EQ(s.run(stream, "", nullptr, &tokens), c.error);
    EXPECT_EQ(stream.lines, c.sent);
    EXPECT_EQ(tokens.requests, c.requests);
    EXPECT_TRUE(s.logged(c.logged)) << platform::Cp1251ToUtf8(s.transcript());
    EXPECT_EQ(s.transcript().find("tok-"), std::string::npos) << "a token in the log";
  }
}

TEST(Pop3ClientSession, AnEmptyMailboxIsOnlyQuit) {
  Session s;
  ScriptedStream stream("+OK\r\n", Mailbox{{}, {{"stat", "+OK 0 0\r\n"}}});
  EXPECT_EQ(s.run(stream), Pop3ClientError::kNone);
  EXPECT_EQ(stream.lines, (Lines{"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "quit\r\n"}));
  EXPECT_TRUE(s.logged("ПОЧТОВЫЙ ЯЩИК НА СЕРВЕРЕ ПУСТ\r\n"));
  EXPECT_EQ(s.files("*"), Lines{});
}

// The messages go into one download file exactly as sent, transparency dots and the end
// lines included, synced once, however the replies are cut into receives (the end sequence
// split over several, or a pipelined reply's end and the next reply in one); their DELEs
// follow. A server that announces PIPELINING gets the RETRs, then the DELEs, in one write.
TEST(Pop3ClientSession, EveryMessageGoesIntoTheDownloadFileAsSent) {
  const std::vector<std::string> messages = {
      "Subject: 1\r\n\r\n..dot\r\n...\r\n",
      "",  // an empty message: its end line follows the status line at once
      "Subject: 2\r\n\r\nb\r\n",
      "Subject: 3\r\n\r\n\xc0\xc1\r\n..\r\nend\r\n",
  };
  Lines dialogue = {"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "list\r\n"};
  std::string stored, retrs, deles;
  for (std::size_t n = 1; n <= messages.size(); ++n) {
    dialogue.push_back("retr " + std::to_string(n) + "\r\n");
    retrs += dialogue.back();
    stored += messages[n - 1] + ".\r\n";
  }
  for (std::size_t n = 1; n <= messages.size(); ++n) {
    dialogue.push_back("dele " + std::to_string(n) + "\r\n");
    deles += dialogue.back();
  }
  dialogue.push_back("quit\r\n");
  for (const bool pipelining : {false, true}) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4}, std::size_t{7},
                                    std::size_t{1} << 20}) {
      SCOPED_TRACE("pieces of " + std::to_string(piece) + (pipelining ? ", pipelining" : ""));
      Session s;
      ScriptedStream stream("+OK ready\r\n", Mailbox{messages, {}, pipelining});
      stream.pieceSize = piece;
      EXPECT_EQ(s.run(stream), Pop3ClientError::kNone);
      EXPECT_EQ(stream.lines, dialogue);
      const bool together = std::find(stream.writes.begin(), stream.writes.end(), retrs) != stream.writes.end() &&
                            std::find(stream.writes.begin(), stream.writes.end(), deles) != stream.writes.end();
      EXPECT_EQ(together, pipelining);
      EXPECT_EQ(s.files("*.popfile"), Lines{s.popfile(1)});
      EXPECT_EQ(ReadAll(s.dir.file(s.popfile(1))), stored);
      EXPECT_EQ(s.files("*.part"), Lines{});
      EXPECT_TRUE(s.logged("Загружаю сообщение 4 (" + std::to_string(messages[3].size()) + " байтов)\r\n"));
      EXPECT_TRUE(s.logged("Все сообщения загружены и удалены с сервера.\r\n"));
      ASSERT_FALSE(s.window.progress().empty());
      EXPECT_EQ(s.window.progress().back(), std::make_pair(link::kPop3ProgressPart, 100));
    }
  }
}

TEST(Pop3ClientSession, ACutMessageLeavesNoFileButTheFinishedOnesStay) {
  for (const bool pipelining : {false, true}) {
    SCOPED_TRACE(pipelining ? "pipelining" : "one command at a time");
    Session s;
    Mailbox mailbox{{"Subject: 1\r\n\r\na\r\n", "Subject: 2\r\n\r\nb\r\n"}, {}, pipelining};
    ScriptedStream stream("+OK\r\n", [&](const std::string& line) -> std::optional<std::string> {
      if (line == "retr 2\r\n") return "+OK\r\nSubject: 2\r\n\r\nb\r";  // and then nothing more
      return mailbox(line);
    });
    stream.pieceSize = 3;
    stream.closeWhenDrained();
    EXPECT_EQ(s.run(stream), Pop3ClientError::kRetrText);
    EXPECT_EQ(stream.lines.back(), "retr 2\r\n") << "no DELE for the cut message";
    EXPECT_EQ(s.files("*.popfile"), Lines{s.popfile(1)});
    EXPECT_EQ(ReadAll(s.dir.file(s.popfile(1))), "Subject: 1\r\n\r\na\r\n.\r\n");
    EXPECT_EQ(s.files("*.part"), Lines{});
  }
}

}  // namespace
}  // namespace quelma::pop3_client

namespace quelma::pop3_client {
namespace {

// A message's DELE goes only once its download file is on disk. One command at a time, a full
// file is stored and its DELEs sent before the next message is fetched: the provider never
// holds more undeleted stored mail than one file's worth. With pipelining the next file's
// RETRs go out while a file is received and stored, and a file's DELEs with the RETRs of the
// file after the next one.
TEST(Pop3ClientSession, AMessageIsDeletedOnlyOnceItsDownloadFileIsOnDisk) {
  const std::vector<std::string> messages(1000, "Subject: x\r\n\r\ny\r\n");
  const struct Case {
    bool pipelining;
    std::vector<std::pair<std::string, std::string>> before;  // the first line is sent before the second
  } cases[] = {
      {false, {{"retr 256\r\n", "dele 1\r\n"}, {"dele 256\r\n", "retr 257\r\n"}, {"retr 512\r\n", "dele 257\r\n"},
               {"dele 768\r\n", "retr 769\r\n"}, {"dele 1000\r\n", "quit\r\n"}}},
      {true, {{"retr 257\r\n", "dele 1\r\n"}, {"retr 512\r\n", "dele 1\r\n"}, {"dele 256\r\n", "retr 769\r\n"},
              {"retr 1000\r\n", "dele 257\r\n"}, {"dele 1000\r\n", "quit\r\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pipelining ? "pipelining" : "one command at a time");
    Session s;
    const Mailbox mailbox{messages, {}, c.pipelining};
    Lines early;  // DELEs sent before their message's file was published
    ScriptedStream stream("+OK ready\r\n", [&](const std::string& line) {
      if (line.starts_with("dele ")) {
        const std::size_t file = (std::strtoul(line.c_str() + 5, nullptr, 10) - 1) / 256 + 1;
        if (!platform::FileExists(s.dir.file(s.popfile(file)))) early.push_back(line);
      }
      return mailbox(line);
    });
    EXPECT_EQ(s.run(stream), Pop3ClientError::kNone);
    EXPECT_EQ(early, Lines{});
    EXPECT_EQ(s.files("*.popfile"), (Lines{s.popfile(1), s.popfile(2), s.popfile(3), s.popfile(4)}));
    EXPECT_EQ(std::count_if(stream.lines.begin(), stream.lines.end(), [](const std::string& l) { return l.starts_with("dele "); }),
              1000);
    const auto at = [&](const std::string& line) {
      return std::find(stream.lines.begin(), stream.lines.end(), line) - stream.lines.begin();
    };
    for (const auto& [first, second] : c.before) EXPECT_LT(at(first), at(second)) << first << " before " << second;
  }
}

}  // namespace
}  // namespace quelma::pop3_client
