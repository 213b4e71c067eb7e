// The provider session fed a provider's SMTP replies from a script, without a socket: every
// error number and transaction result, and the bytes it puts on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
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
#include "net/sasl_oauth.h"
#include "smtp_client/provider_session.h"
#include "support/fake_access_tokens.h"
#include "support/fake_tls.h"
#include "support/recorded_log.h"
#include "support/scripted_stream.h"
#include "support/temp_dir.h"

namespace quelma::smtp_client {
namespace {

using quelma::testing::ScriptedStream;

using Lines = std::vector<std::string>;

// The CRAM-MD5 example: "tim" with the secret "tanstaaftanstaaf" answers this challenge so.
const std::string kChallenge = "<1896.697170952@postoffice.reston.mci.net>";
const std::string kCramAnswer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n";
const std::string kPlainLine = "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n";  // NUL tim NUL tanstaaftanstaaf
const std::string kLoginName = "dGlt\r\n";
const std::string kLoginPassword = "dGFuc3RhYWZ0YW5zdGFhZg==\r\n";

const std::string kGreeting = "220 provider.test ESMTP\r\n";
const std::string kEhloPlain = "250-provider.test\r\n250 AUTH PLAIN\r\n";
const std::string kEnvelope = "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n";
const std::string kMessage = "Subject: hi\r\n\r\nbody\r\n";
const std::string kTrace = kTraceHeader;

// A provider's SMTP server. Each line gets the ordinary reply of its key unless `replies`
// scripts that key: its first, second, ... use takes the first, second, ... text there ("" =
// no answer), and after those the ordinary reply comes again. The keys are the command word
// ("HELO", "MAIL", "RCPT", "DATA", "RSET", "quit"), "AUTH PLAIN", "AUTH LOGIN" and
// "AUTH CRAM-MD5", then "login name", "login password" and "cram answer" for the lines a
// login sends after a 334, and "." for the end of the message text.
struct Provider {
  Provider() = default;
  Provider(std::string ehloReply, std::map<std::string, std::vector<std::string>> scripted)
      : ehlo(std::move(ehloReply)), replies(std::move(scripted)) {}

  std::string ehlo = kEhloPlain;
  std::map<std::string, std::vector<std::string>> replies;
  std::vector<std::string> messages;  // the text of every DATA, as received

  std::optional<std::string> operator()(const std::string& line) {
    if (inData_ && line != ".\r\n") {
      data_ += line;
      return std::nullopt;
    }
    if (inData_) {
      inData_ = false;
      messages.push_back(data_);
      data_.clear();
      return reply(".", "250 queued\r\n");
    }
    const std::string key = keyOf(line);
    next_.clear();
    if (key == "EHLO") return reply(key, ehlo);
    if (key == "HELO") return reply(key, "250 provider.test\r\n");
    if (key == "AUTH LOGIN") return prompt(key, "334 VXNlcm5hbWU6\r\n", "login name");
    if (key == "login name") return prompt(key, "334 UGFzc3dvcmQ6\r\n", "login password");
    if (key == "AUTH CRAM-MD5") return prompt(key, "334 " + codec::Base64Encode(kChallenge) + "\r\n", "cram answer");
    if (key == "AUTH PLAIN" || key == "login password" || key == "cram answer") return reply(key, "235 welcome\r\n");
    if (key == "DATA") {
      const std::string r = reply(key, "354 go ahead\r\n");
      inData_ = r.starts_with("354");
      return r;
    }
    if (key == "quit") return reply(key, "221 bye\r\n");
    return reply(key, "250 ok\r\n");
  }

 private:
  std::string keyOf(const std::string& line) const {
    if (!next_.empty()) return next_;
    const auto end = line.find_first_of(" \r\n", line.starts_with("AUTH ") ? 5 : 0);
    return line.substr(0, end);
  }
  std::string reply(const std::string& key, const std::string& ordinary) {
    const std::size_t use = uses_[key]++;
    const auto found = replies.find(key);
    return found != replies.end() && use < found->second.size() ? found->second[use] : ordinary;
  }
  // A 334 makes the next line the login's `following` step.
  std::string prompt(const std::string& key, const std::string& ordinary, const std::string& following) {
    std::string r = reply(key, ordinary);
    if (r.starts_with("334")) next_ = following;
    return r;
  }

  std::string next_;
  bool inData_ = false;
  std::string data_;
  std::map<std::string, std::size_t> uses_;
};

struct Upload : quelma::testing::RecordedLog {
  quelma::testing::TempDir dir;
  config::Configuration config;
  int files = 0;

  explicit Upload(bool login = false) {
    config.LocalDomain = "office.local";
    config.SMTP_USES_LOGIN = login;
    config.SMTP_LOGIN_NAME = "tim";
    config.SMTP_LOGIN_PASS = "tanstaaftanstaaf";
  }
  platform::InputFile queueFile(const std::string& text) {
    const std::string path = dir.file("queue" + std::to_string(++files));
    quelma::testing::WriteAll(path, text);
    auto file = platform::InputFile::Open(path);
    EXPECT_TRUE(file.has_value());
    return std::move(*file);
  }
  bool logged(const std::string& text) const { return RecordedLog::logged("SMTPCLIENT> " + text); }
};

// Log in, send the queue files one after the other until one fails, quit: the first error.
SmtpClientError Drive(ProviderSession& session, std::vector<platform::InputFile>& files) {
  if (const SmtpClientError e = session.logIn(); e != SmtpClientError::kNone) return e;
  for (auto& file : files) {
    if (session.sendQueueFile(file) == TransactionResult::kFailed) return session.error();
  }
  return session.quit();
}

// The connection sends message text in writes of 64 KiB. A message whose wire form, trace
// header included, takes all but one byte of the first write, and then `last`.
std::string FillingTheSendBuffer(const std::string& last) {
  constexpr std::size_t kSendBuffer = 64 * 1024;
  std::string message = "Subject: big\r\n\r\n";
  std::size_t remaining = kSendBuffer - 1 - message.size() - kTrace.size();
  for (; remaining > 1002; remaining -= 1000) message += std::string(998, 'x') + "\r\n";
  message += std::string(remaining - 2, 'y') + "\r\n";
  return message + last;
}

// A message as the provider receives it when its text needs no transparency dots: the trace
// header in front of the empty line that ends the header.
std::string WithTrace(const std::string& message) {
  const auto end = message.find("\r\n\r\n");
  return message.substr(0, end + 2) + kTrace + message.substr(end + 2);
}

TEST(ProviderSession, EveryErrorThatEndsTheUpload) {
  const std::string ehloNoMethod = "250-provider.test\r\n250 SIZE 100000\r\n";
  const std::string ehloCram = "250-provider.test\r\n250 AUTH CRAM-MD5\r\n";
  const std::string ehloLogin = "250-provider.test\r\n250 AUTH LOGIN\r\n";
  const struct Case {
    std::string name;
    std::map<std::string, std::vector<std::string>> replies = {};
    SmtpClientError error = SmtpClientError::kNone;
    std::string lastSent = "";  // the last line that reached the provider ("" = none)
    std::size_t failSendsFrom = 0;
    bool login = false;
    std::string ehlo = kEhloPlain;
    std::string greeting = kGreeting;
    std::string message = kMessage;
    int files = 1;
    bool closes = false;  // the provider closes when it has nothing more to say (else: a time-out)
  } cases[] = {
      {.name = "no greeting", .error = SmtpClientError::kGreetingReceive, .lastSent = "", .greeting = ""},
      {.name = "greeting cut off", .error = SmtpClientError::kGreetingReceive, .lastSent = "", .greeting = "220 prov",
       .closes = true},
      {.name = "greeting refused", .error = SmtpClientError::kGreetingRefused, .lastSent = "",
       .greeting = "554 no service\r\n"},
      {.name = "HELO not sent", .error = SmtpClientError::kLoginSend, .lastSent = "", .failSendsFrom = 1},
      {.name = "EHLO not sent", .error = SmtpClientError::kLoginSend, .lastSent = "", .failSendsFrom = 1,
       .login = true},
      {.name = "AUTH PLAIN not sent", .error = SmtpClientError::kLoginSend, .lastSent = "EHLO office.local\r\n",
       .failSendsFrom = 2, .login = true},
      {.name = "AUTH LOGIN password not sent", .error = SmtpClientError::kLoginSend, .lastSent = kLoginName,
       .failSendsFrom = 4, .login = true, .ehlo = ehloLogin},
      {.name = "CRAM-MD5 answer not sent", .error = SmtpClientError::kLoginSend, .lastSent = "AUTH CRAM-MD5\r\n",
       .failSendsFrom = 3, .login = true, .ehlo = ehloCram},
      {.name = "HELO unanswered", .replies = {{"HELO", {""}}}, .error = SmtpClientError::kLoginReceive,
       .lastSent = "HELO office.local\r\n"},
      {.name = "EHLO unanswered", .replies = {{"EHLO", {""}}}, .error = SmtpClientError::kLoginReceive,
       .lastSent = "EHLO office.local\r\n", .login = true, .closes = true},
      {.name = "HELO after a refused EHLO unanswered", .replies = {{"EHLO", {"500 what\r\n"}}, {"HELO", {""}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = "HELO office.local\r\n", .login = true},
      {.name = "AUTH PLAIN unanswered", .replies = {{"AUTH PLAIN", {""}}}, .error = SmtpClientError::kLoginReceive,
       .lastSent = kPlainLine, .login = true},
      {.name = "AUTH LOGIN unanswered", .replies = {{"AUTH LOGIN", {""}}}, .error = SmtpClientError::kLoginReceive,
       .lastSent = "AUTH LOGIN\r\n", .login = true, .ehlo = ehloLogin},
      {.name = "AUTH LOGIN name unanswered", .replies = {{"login name", {""}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = kLoginName, .login = true, .ehlo = ehloLogin},
      {.name = "AUTH LOGIN password unanswered", .replies = {{"login password", {""}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = kLoginPassword, .login = true, .ehlo = ehloLogin},
      {.name = "AUTH CRAM-MD5 unanswered", .replies = {{"AUTH CRAM-MD5", {""}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = "AUTH CRAM-MD5\r\n", .login = true, .ehlo = ehloCram},
      {.name = "AUTH CRAM-MD5 not answered 334", .replies = {{"AUTH CRAM-MD5", {"504 not here\r\n"}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = "AUTH CRAM-MD5\r\n", .login = true, .ehlo = ehloCram},
      {.name = "CRAM-MD5 answer unanswered", .replies = {{"cram answer", {""}}},
       .error = SmtpClientError::kLoginReceive, .lastSent = kCramAnswer, .login = true, .ehlo = ehloCram},
      {.name = "HELO refused", .replies = {{"HELO", {"501 who are you\r\n"}}}, .error = SmtpClientError::kLoginRefused,
       .lastSent = "HELO office.local\r\n"},
      {.name = "HELO after an EHLO offering no method refused", .replies = {{"HELO", {"501 no\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = "HELO office.local\r\n", .login = true,
       .ehlo = ehloNoMethod},
      {.name = "AUTH LOGIN not answered 334", .replies = {{"AUTH LOGIN", {"504 no\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = "AUTH LOGIN\r\n", .login = true, .ehlo = ehloLogin},
      {.name = "AUTH LOGIN name not answered 334", .replies = {{"login name", {"535 who\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = kLoginName, .login = true, .ehlo = ehloLogin},
      {.name = "AUTH LOGIN password not answered 235", .replies = {{"login password", {"535 bad\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = kLoginPassword, .login = true, .ehlo = ehloLogin},
      {.name = "AUTH PLAIN not answered 235", .replies = {{"AUTH PLAIN", {"535 bad\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = kPlainLine, .login = true},
      {.name = "CRAM-MD5 answer not answered 235", .replies = {{"cram answer", {"535 bad\r\n"}}},
       .error = SmtpClientError::kLoginRefused, .lastSent = kCramAnswer, .login = true, .ehlo = ehloCram},
      {.name = "CRAM-MD5 challenge without <",
       .replies = {{"AUTH CRAM-MD5", {"334 " + codec::Base64Encode("no brackets here") + "\r\n"}}},
       .error = SmtpClientError::kChallengeWithoutOpen, .lastSent = "AUTH CRAM-MD5\r\n", .login = true,
       .ehlo = ehloCram},
      {.name = "CRAM-MD5 challenge without >",
       .replies = {{"AUTH CRAM-MD5", {"334 " + codec::Base64Encode("<1896.697170952@never.closed") + "\r\n"}}},
       .error = SmtpClientError::kChallengeWithoutClose, .lastSent = "AUTH CRAM-MD5\r\n", .login = true,
       .ehlo = ehloCram},
      {.name = "MAIL not sent", .error = SmtpClientError::kMailSend, .lastSent = "HELO office.local\r\n",
       .failSendsFrom = 2},
      {.name = "RSET before the next MAIL not sent", .replies = {{"DATA", {"554 no\r\n"}}},
       .error = SmtpClientError::kMailSend, .lastSent = "DATA\r\n", .failSendsFrom = 5, .files = 2},
      {.name = "MAIL unanswered", .replies = {{"MAIL", {""}}}, .error = SmtpClientError::kEnvelopeReceive,
       .lastSent = "MAIL FROM:<a@b>\r\n"},
      {.name = "RCPT unanswered", .replies = {{"RCPT", {""}}}, .error = SmtpClientError::kEnvelopeReceive,
       .lastSent = "RCPT TO:<c@d>\r\n", .closes = true},
      {.name = "RSET unanswered", .replies = {{"DATA", {"554 no\r\n"}}, {"RSET", {""}}},
       .error = SmtpClientError::kEnvelopeReceive, .lastSent = "RSET\r\n", .files = 2},
      {.name = "RCPT not sent", .error = SmtpClientError::kRecipientSend, .lastSent = "MAIL FROM:<a@b>\r\n",
       .failSendsFrom = 3},
      {.name = "DATA not sent", .error = SmtpClientError::kDataSend, .lastSent = "RCPT TO:<c@d>\r\n",
       .failSendsFrom = 4},
      {.name = "DATA unanswered", .replies = {{"DATA", {""}}}, .error = SmtpClientError::kDataReceive,
       .lastSent = "DATA\r\n"},
      {.name = "a transparency dot that fills the send buffer not sent", .error = SmtpClientError::kDotSend,
       .lastSent = "DATA\r\n", .failSendsFrom = 5, .message = FillingTheSendBuffer(".dot\r\n")},
      {.name = "a message line that fills the send buffer not sent", .error = SmtpClientError::kLineSend,
       .lastSent = "DATA\r\n", .failSendsFrom = 5, .message = FillingTheSendBuffer("end\r\n")},
      // A message shorter than the send buffer goes out in one write with its end line.
      {.name = "the message and its end not sent", .error = SmtpClientError::kEndSend, .lastSent = "DATA\r\n",
       .failSendsFrom = 5},
      {.name = "end of data unanswered", .replies = {{".", {""}}}, .error = SmtpClientError::kEndReceive,
       .lastSent = ".\r\n"},
      {.name = "QUIT not sent", .error = SmtpClientError::kQuitSend, .lastSent = ".\r\n", .failSendsFrom = 10},
      {.name = "QUIT unanswered", .replies = {{"quit", {""}}}, .error = SmtpClientError::kQuitReceive,
       .lastSent = "quit\r\n", .closes = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u(c.login);
    Provider provider(c.ehlo, c.replies);
    ScriptedStream stream(c.greeting, [&](const std::string& line) { return provider(line); });
    stream.failSendsFrom = c.failSendsFrom;
    if (c.closes) stream.closeWhenDrained();
    std::vector<platform::InputFile> files;
    for (int i = 0; i < c.files; ++i) files.push_back(u.queueFile(kEnvelope + c.message));
    ProviderSession session(stream, u.config, u.log);
    EXPECT_EQ(Drive(session, files), c.error);
    EXPECT_EQ(stream.lines.empty() ? "" : stream.lines.back(), c.lastSent);
  }
}

#ifdef __linux__
// A file whose every read fails: reading this process's memory at address 0.
TEST(ProviderSession, AQueueFileThatCannotBeReadIsNotSentAndEndsTheConnection) {
  Upload u;
  Provider provider;
  ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
  auto unreadable = platform::InputFile::Open("/proc/self/mem");
  ASSERT_TRUE(unreadable.has_value());
  ProviderSession session(stream, u.config, u.log);
  ASSERT_EQ(session.logIn(), SmtpClientError::kNone);
  EXPECT_EQ(session.sendQueueFile(*unreadable), TransactionResult::kFailed);
  EXPECT_EQ(session.error(), SmtpClientError::kLineSend);
  EXPECT_EQ(session.quit(), SmtpClientError::kLineSend);
  EXPECT_EQ(stream.lines, Lines{"HELO office.local\r\n"}) << "not even QUIT follows";
  EXPECT_TRUE(u.logged("Не могу прочитать этот файл!!!\r\n"));
}
#endif

TEST(ProviderSession, LogsInWithTheBestMethodOffered) {
  const struct Case {
    const char* name;
    bool login;
    std::string ehlo;
    std::map<std::string, std::vector<std::string>> replies;
    Lines sent;
  } cases[] = {
      {"HELO when no login is asked for", false, kEhloPlain, {}, {"HELO office.local\r\n"}},
      {"AUTH PLAIN", true, kEhloPlain, {}, {"EHLO office.local\r\n", kPlainLine}},
      {"AUTH LOGIN", true, "250-provider.test\r\n250 AUTH LOGIN\r\n", {},
       {"EHLO office.local\r\n", "AUTH LOGIN\r\n", kLoginName, kLoginPassword}},
      {"AUTH CRAM-MD5 before the others", true,
       "250-provider.test\r\n250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 8BITMIME\r\n", {},
       {"EHLO office.local\r\n", "AUTH CRAM-MD5\r\n", kCramAnswer}},
      {"HELO when EHLO offers no method", true, "250-provider.test\r\n250 SIZE 1000\r\n", {},
       {"EHLO office.local\r\n", "HELO office.local\r\n"}},
      {"HELO when EHLO is refused", true, kEhloPlain, {{"EHLO", {"502 not implemented\r\n"}}},
       {"EHLO office.local\r\n", "HELO office.local\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u(c.login);
    Provider provider(c.ehlo, c.replies);
    ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
    ProviderSession session(stream, u.config, u.log);
    EXPECT_EQ(session.logIn(), SmtpClientError::kNone);
    EXPECT_EQ(stream.lines, c.sent);
    EXPECT_TRUE(u.logged("Сервер готов к приему сообщений.\r\n"));
  }
}

// SMTP_AUTH: EHLO must list the mechanism, the token goes in the AUTH line; an error challenge
// (334) is logged and answered, and one refusal gets one more try with a renewed token. No
// fall-back to a password, and no token in the log.
TEST(ProviderSession, LogsInWithAnAccessTokenOrSaysWhyNot) {
  const std::string ehlo = "250-provider.test\r\n250-AUTH LOGIN XOAUTH2 OAUTHBEARER\r\n250 8BITMIME\r\n";
  const std::string challenge =
      "334 " + codec::Base64Encode(R"({"status":"invalid_token","scope":"SMTP.Send"})") + "\r\n";
  const std::string xoauth1 = net::Xoauth2Response("tim", "tok-1") + "\r\n";
  const std::string xoauth2 = net::Xoauth2Response("tim", "tok-2") + "\r\n";
  const std::string bearer1 = net::OauthBearerResponse("tim", "smtp.provider.test", 587, "tok-1") + "\r\n";
  const std::string x = "AUTH XOAUTH2\r\n";
  const std::string b = "AUTH OAUTHBEARER\r\n";
  const struct Case {
    const char* name;
    config::OauthMechanism mechanism;
    std::string ehlo;
    std::vector<std::string> authReplies;
    std::deque<std::string> tokens;
    bool loginNeeded;
    SmtpClientError error;
    Lines sent;
    std::vector<bool> requests;
    const char* logged;
  } cases[] = {
      {"XOAUTH2 taken", config::OauthMechanism::kXoauth2, ehlo, {"235 2.7.0 Accepted\r\n"}, {"tok-1"}, false,
       SmtpClientError::kNone, {"EHLO office.local\r\n", x, xoauth1}, {false}, "Сервер готов к приему сообщений.\r\n"},
      {"OAUTHBEARER taken", config::OauthMechanism::kOauthBearer, ehlo, {"235 ok\r\n"}, {"tok-1"}, false,
       SmtpClientError::kNone, {"EHLO office.local\r\n", b, bearer1}, {false}, "AUTH OAUTHBEARER\r\n"},
      {"an expired token: the challenge answered, a renewed one taken", config::OauthMechanism::kXoauth2, ehlo,
       {challenge, "535 5.7.8 bad\r\n", "235 ok\r\n"}, {"tok-1", "tok-2"}, false, SmtpClientError::kNone,
       {"EHLO office.local\r\n", x, xoauth1, "\r\n", x, xoauth2}, {false, true},
       "Ответ сервера на маркер доступа: status invalid_token, scope SMTP.Send\r\n"},
      {"OAUTHBEARER's challenge answered with ^A", config::OauthMechanism::kOauthBearer, ehlo,
       {challenge, "535 no\r\n", "535 no\r\n"}, {"tok-1", "tok-2"}, false, SmtpClientError::kLoginRefused,
       {"EHLO office.local\r\n", b, bearer1, "AQ==\r\n", b,
        net::OauthBearerResponse("tim", "smtp.provider.test", 587, "tok-2") + "\r\n", "quit\r\n"},
       {false, true}, "Сервер не принял маркер доступа: 535 no\r\n"},
      {"Microsoft's refusal of password logins", config::OauthMechanism::kXoauth2, ehlo,
       {"550 5.7.30 Basic authentication is not supported\r\n", "535 no\r\n"}, {"tok-1", "tok-2"}, false,
       SmtpClientError::kLoginRefused, {"EHLO office.local\r\n", x, xoauth1, x, xoauth2, "quit\r\n"}, {false, true},
       "Сервер не принял маркер доступа: 550 5.7.30 Basic authentication is not supported\r\n"},
      {"the mechanism not offered", config::OauthMechanism::kOauthBearer, "250-provider.test\r\n250 AUTH XOAUTH2\r\n",
       {}, {"tok-1"}, false, SmtpClientError::kAuthNotOffered, {"EHLO office.local\r\n", "quit\r\n"}, {},
       "Сервер не предлагает вход OAUTHBEARER, заданный в SMTP_AUTH\r\n"},
      {"named only outside the AUTH line", config::OauthMechanism::kXoauth2, "250-provider.test XOAUTH2\r\n250 AUTH PLAIN\r\n",
       {}, {"tok-1"}, false, SmtpClientError::kAuthNotOffered, {"EHLO office.local\r\n", "quit\r\n"}, {},
       "Сервер не предлагает вход XOAUTH2, заданный в SMTP_AUTH\r\n"},
      {"never authorised", config::OauthMechanism::kXoauth2, ehlo, {}, {}, true, SmtpClientError::kOauthLogin,
       {"EHLO office.local\r\n", "quit\r\n"}, {false}, "Logging in to SMTP server\r\n"},
      {"the platform out of reach", config::OauthMechanism::kXoauth2, ehlo, {}, {}, false, SmtpClientError::kOauthToken,
       {"EHLO office.local\r\n", "quit\r\n"}, {false}, "Logging in to SMTP server\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    u.config.SMTP_AUTH = c.mechanism;
    u.config.SMTPServer = "smtp.provider.test";
    u.config.SMTPSport = 587;
    Provider provider(c.ehlo, {});
    std::size_t answered = 0;
    ScriptedStream stream(kGreeting, [&](const std::string& line) -> std::optional<std::string> {
      if (line == x || line == b) return std::string("334 \r\n");
      if (line == "\r\n" || line == "AQ==\r\n" || line.size() > 40) {
        return answered < c.authReplies.size() ? c.authReplies[answered++] : std::string("535 no\r\n");
      }
      return provider(line);
    });
    quelma::testing::FakeAccessTokens tokens(c.tokens, c.loginNeeded);
    ProviderSession session(stream, u.config, u.log, nullptr, &tokens);
    EXPECT_EQ(session.logIn(), c.error);
    EXPECT_EQ(stream.lines, c.sent);
    EXPECT_EQ(tokens.requests, c.requests);
    EXPECT_TRUE(u.logged(c.logged)) << platform::Cp1251ToUtf8(u.transcript());
    EXPECT_EQ(u.transcript().find("tok-"), std::string::npos) << "a token in the log";
    EXPECT_EQ(stream.sent.find("tanstaaf"), std::string::npos) << "the password went out";
  }
}

// With SMTP_TLS = STARTTLS nothing but EHLO and STARTTLS (or the QUIT of a refusal) goes out
// in clear: the login and the mail go through TLS, whatever came before the handshake.
TEST(ProviderSession, StartTlsComesBeforeTheLoginOrNothingDoes) {
  const std::string withStartTls = "250-provider.test\r\n250-STARTTLS\r\n250 8BITMIME\r\n";
  const struct Case {
    const char* name;
    std::string ehlo;
    std::vector<std::string> startTls;  // its replies in clear
    net::TlsFailure handshake;          // kNone: it succeeds
    SmtpClientError error;
    Lines plainSent;
    const char* logged;
  } cases[] = {
      {"offered and taken", withStartTls, {"220 go ahead\r\n"}, net::TlsFailure::kNone, SmtpClientError::kNone,
       {"EHLO office.local\r\n", "STARTTLS\r\n"}, "Установлено защищенное соединение: TLSv1.3, FAKE\r\n"},
      {"bytes injected before the handshake are dropped", withStartTls, {"220 go ahead\r\n250 injected\r\n"},
       net::TlsFailure::kNone, SmtpClientError::kNone, {"EHLO office.local\r\n", "STARTTLS\r\n"}, "STARTTLS\r\n"},
      {"not offered", "250-provider.test\r\n250 AUTH PLAIN STARTTLS\r\n", {}, net::TlsFailure::kNone,
       SmtpClientError::kStartTlsNotOffered, {"EHLO office.local\r\n", "quit\r\n"}, "Сервер не предлагает STARTTLS\r\n"},
      {"EHLO refused", "502 no\r\n", {}, net::TlsFailure::kNone, SmtpClientError::kStartTlsNotOffered,
       {"EHLO office.local\r\n", "quit\r\n"}, "Передача почты без шифрования запрещена настройками\r\n"},
      {"STARTTLS refused", withStartTls, {"454 TLS not available\r\n"}, net::TlsFailure::kNone,
       SmtpClientError::kStartTlsNotOffered, {"EHLO office.local\r\n", "STARTTLS\r\n", "quit\r\n"},
       "Сервер отказал в STARTTLS: 454 TLS not available\r\n"},
      {"STARTTLS unanswered", withStartTls, {""}, net::TlsFailure::kNone, SmtpClientError::kLoginReceive,
       {"EHLO office.local\r\n", "STARTTLS\r\n"}, "STARTTLS\r\n"},
      {"expired certificate", withStartTls, {"220 go ahead\r\n"}, net::TlsFailure::kExpired,
       SmtpClientError::kTlsExpired, {"EHLO office.local\r\n", "STARTTLS\r\n"},
       "TLS: сертификат \"CN=provider.test\" сейчас недействителен: он действует с  по \r\n"},
      {"wrong host name", withStartTls, {"220 go ahead\r\n"}, net::TlsFailure::kHostName, SmtpClientError::kTlsHostName,
       {"EHLO office.local\r\n", "STARTTLS\r\n"},
       "TLS: сертификат выдан для provider.test, а соединение установлено с \"provider.test\"\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u(true);
    Provider plainSide(c.ehlo, {{"STARTTLS", c.startTls}});
    ScriptedStream plain(kGreeting, [&](const std::string& line) { return plainSide(line); });
    plain.closeWhenDrained();
    Provider secureSide;
    ScriptedStream secure("", [&](const std::string& line) { return secureSide(line); });
    quelma::testing::FakeTls tls(c.handshake == net::TlsFailure::kNone ? &secure : nullptr, c.handshake);
    const net::TlsClient client = tls.client();
    ProviderSession session(plain, u.config, u.log, &client);
    std::vector<platform::InputFile> files;
    files.push_back(u.queueFile(kEnvelope + kMessage));
    EXPECT_EQ(Drive(session, files), c.error);
    EXPECT_EQ(plain.lines, c.plainSent);
    EXPECT_EQ(plain.sent.find("AUTH"), std::string::npos);
    if (c.error == SmtpClientError::kNone) {
      EXPECT_EQ(secure.lines.front(), "EHLO office.local\r\n");
      EXPECT_EQ(secure.lines[1], kPlainLine);
      EXPECT_EQ(secureSide.messages, Lines{WithTrace(kMessage)});
    }
    EXPECT_TRUE(u.logged(c.logged)) << platform::Cp1251ToUtf8(u.transcript());
  }
}

TEST(ProviderSession, TheResultOfEachTransaction) {
  const Lines whole = {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "DATA\r\n", "Subject: hi\r\n", kTrace, "\r\n",
                       "body\r\n", ".\r\n"};
  const struct Case {
    const char* name;
    std::string queued;
    std::map<std::string, std::vector<std::string>> replies;
    TransactionResult result;
    Lines sent;  // after HELO
  } cases[] = {
      {"sent", kEnvelope + kMessage, {}, TransactionResult::kSent, whole},
      {"sender refused", kEnvelope + kMessage, {{"MAIL", {"550 not you\r\n"}}}, TransactionResult::kSenderRefused,
       {"MAIL FROM:<a@b>\r\n"}},
      {"sender longer than 103 bytes", "MAIL FROM:<" + std::string(100, 's') + "@b.c>\r\nRCPT TO:<c@d>\r\n" + kMessage,
       {}, TransactionResult::kSenderRefused, {}},
      {"no recipient line", "MAIL FROM:<a@b>\r\n" + kMessage, {}, TransactionResult::kSenderRefused,
       {"MAIL FROM:<a@b>\r\n"}},
      {"DATA refused", kEnvelope + kMessage, {{"DATA", {"554 no valid recipients\r\n"}}},
       TransactionResult::kDataRefused, {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "DATA\r\n"}},
      {"end of data refused", kEnvelope + kMessage, {{".", {"552 too big\r\n"}}}, TransactionResult::kEndRefused,
       whole},
      {"the last recipient refused", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nRCPT TO:<e@f>\r\n" + kMessage,
       {{"RCPT", {"250 ok\r\n", "550 no such user\r\n"}}}, TransactionResult::kSentWithRefusedRecipient,
       {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "RCPT TO:<e@f>\r\n", "DATA\r\n", "Subject: hi\r\n", kTrace,
        "\r\n", "body\r\n", ".\r\n"}},
      {"an earlier recipient refused", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nRCPT TO:<e@f>\r\n" + kMessage,
       {{"RCPT", {"550 no such user\r\n", "250 ok\r\n"}}}, TransactionResult::kSentWithRefusedRecipient,
       {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "RCPT TO:<e@f>\r\n", "DATA\r\n", "Subject: hi\r\n", kTrace,
        "\r\n", "body\r\n", ".\r\n"}},
      {"every recipient refused: no DATA", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nRCPT TO:<e@f>\r\n" + kMessage,
       {{"RCPT", {"550 no\r\n", "550 no\r\n"}}}, TransactionResult::kSenderRefused,
       {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "RCPT TO:<e@f>\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    Provider provider(kEhloPlain, c.replies);
    ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
    ProviderSession session(stream, u.config, u.log);
    ASSERT_EQ(session.logIn(), SmtpClientError::kNone);
    auto file = u.queueFile(c.queued);
    EXPECT_EQ(session.sendQueueFile(file), c.result);
    EXPECT_EQ(session.error(), SmtpClientError::kNone);
    EXPECT_EQ(Lines(stream.lines.begin() + 1, stream.lines.end()), c.sent);
  }
}

// A transaction the provider still holds open is reset before the next MAIL, and only then.
TEST(ProviderSession, ATransactionLeftOpenIsResetBeforeTheNextMail) {
  const struct Case {
    const char* name;
    std::string firstQueued;
    std::map<std::string, std::vector<std::string>> replies;
    TransactionResult firstResult;
    bool reset;
  } cases[] = {
      {"DATA refused", kEnvelope + kMessage, {{"DATA", {"554 no\r\n"}}}, TransactionResult::kDataRefused, true},
      {"the only recipient refused", kEnvelope + kMessage, {{"RCPT", {"550 no\r\n"}}},
       TransactionResult::kSenderRefused, true},
      {"no recipient line", "MAIL FROM:<a@b>\r\n" + kMessage, {}, TransactionResult::kSenderRefused, true},
      {"sender refused", kEnvelope + kMessage, {{"MAIL", {"550 no\r\n"}}}, TransactionResult::kSenderRefused, false},
      {"end of data refused", kEnvelope + kMessage, {{".", {"552 no\r\n"}}}, TransactionResult::kEndRefused, false},
      {"sent", kEnvelope + kMessage, {}, TransactionResult::kSent, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    Provider provider(kEhloPlain, c.replies);
    ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
    ProviderSession session(stream, u.config, u.log);
    ASSERT_EQ(session.logIn(), SmtpClientError::kNone);
    auto first = u.queueFile(c.firstQueued);
    auto second = u.queueFile("MAIL FROM:<x@y>\r\nRCPT TO:<c@d>\r\n" + kMessage);
    EXPECT_EQ(session.sendQueueFile(first), c.firstResult);
    const std::size_t before = stream.lines.size();
    EXPECT_EQ(session.sendQueueFile(second), TransactionResult::kSent);
    ASSERT_GT(stream.lines.size(), before + 1);
    const Lines expected =
        c.reset ? Lines{"RSET\r\n", "MAIL FROM:<x@y>\r\n"} : Lines{"MAIL FROM:<x@y>\r\n", "RCPT TO:<c@d>\r\n"};
    const auto next = stream.lines.begin() + static_cast<std::ptrdiff_t>(before);
    EXPECT_EQ(Lines(next, next + 2), expected) << "what follows the first transaction";
  }
}

// The message text as the provider receives it: the trace header in front of the empty line
// that ends the header, a transparency dot before every line that begins with one, CR LF
// line ends, and all of it even when it takes several writes.
TEST(ProviderSession, TheMessageTextOnTheWire) {
  const std::string big = FillingTheSendBuffer(".dot\r\nend\r\n");
  const struct Case {
    const char* name;
    std::string message;
    std::string received;
  } cases[] = {
      {"the trace header before the empty line", "Subject: hi\r\nTo: c@d\r\n\r\nbody\r\n",
       "Subject: hi\r\nTo: c@d\r\n" + kTrace + "\r\nbody\r\n"},
      {"only the first empty line gets it", "Subject: hi\r\n\r\na\r\n\r\nb\r\n",
       "Subject: hi\r\n" + kTrace + "\r\na\r\n\r\nb\r\n"},
      {"transparency dots", "Subject: d\r\n\r\n.leading\r\n..two\r\n.\r\nx.y\r\n",
       "Subject: d\r\n" + kTrace + "\r\n..leading\r\n...two\r\n..\r\nx.y\r\n"},
      {"bare line feeds", "Subject: lf\n\nbody\n.\n", "Subject: lf\r\n" + kTrace + "\r\nbody\r\n..\r\n"},
      {"a last line without its end", "Subject: e\r\n\r\nlast", "Subject: e\r\n" + kTrace + "\r\nlast\r\n"},
      {"more than one write", big, WithTrace(FillingTheSendBuffer("")) + "..dot\r\nend\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    Provider provider;
    ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
    ProviderSession session(stream, u.config, u.log);
    ASSERT_EQ(session.logIn(), SmtpClientError::kNone);
    auto file = u.queueFile(kEnvelope + c.message);
    EXPECT_EQ(session.sendQueueFile(file), TransactionResult::kSent);
    EXPECT_EQ(session.quit(), SmtpClientError::kNone);
    ASSERT_EQ(provider.messages.size(), 1u);
    EXPECT_EQ(provider.messages[0], c.received);
    EXPECT_EQ(stream.lines.back(), "quit\r\n");
  }
}

// A bounce or a receipt goes up with the null reverse-path and its From: line as written; a
// local sender's From: line gets the alias.
TEST(ProviderSession, TheNullReversePathStaysNullAndItsHeaderUntouched) {
  const struct Case {
    std::string mailFrom, from, wireMailFrom, wireFrom;
  } cases[] = {
      {"MAIL FROM:<>\r\n", "From: <ivan@office.local>\r\n", "MAIL FROM:<>\r\n", "From: <ivan@office.local>\r\n"},
      {"MAIL FROM:<ivan@office.local>\r\n", "From: <ivan@office.local>\r\n", "MAIL FROM:<i.petrov@provider.test>\r\n",
       "From: <i.petrov@provider.test>\r\n"},
  };
  for (const Case& c : cases) {
    Upload u;
    u.config.users = {{"ivan", "", "i.petrov@provider.test"}};
    Provider provider;
    ScriptedStream stream(kGreeting, [&](const std::string& line) { return provider(line); });
    ProviderSession session(stream, u.config, u.log);
    ASSERT_EQ(session.logIn(), SmtpClientError::kNone);
    auto file = u.queueFile(c.mailFrom + "RCPT TO:<c@d>\r\n" + c.from + "Subject: r\r\n\r\nread\r\n");
    EXPECT_EQ(session.sendQueueFile(file), TransactionResult::kSent);
    EXPECT_EQ(stream.lines[1], c.wireMailFrom);
    ASSERT_EQ(provider.messages.size(), 1u);
    EXPECT_TRUE(provider.messages[0].starts_with(c.wireFrom)) << provider.messages[0];
  }
}

}  // namespace
}  // namespace quelma::smtp_client
