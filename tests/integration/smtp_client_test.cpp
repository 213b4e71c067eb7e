// The queue upload against a scripted provider SMTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "codec/base64.h"
#include "codec/md5.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/running_guard.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "smtp_client/delivery_failure_notice.h"
#include "smtp_client/provider_session.h"
#include "smtp_client/queue_upload.h"
#include "mime/mail_date.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace quelma::smtp_client {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::ScriptedServer;
using quelma::testing::WriteAll;

const std::string kChallenge = "<1896.697170952@provider.test>";

// A provider that knows the account "login"/"secret" for every method. `script` overrides
// the replies of a command word ("MAIL", "RCPT", "DATA", "." for the end of data, ...) for
// its first, second, ... use; after that the ordinary reply comes again.
struct Provider {
  std::string ehlo = "250-provider.test\r\n250 AUTH LOGIN PLAIN CRAM-MD5\r\n";
  std::map<std::string, std::vector<std::string>> script;
  std::vector<std::string> messages;  // the text of every DATA, as received
  std::vector<std::string> commands;  // every line but the message text

  ScriptedServer::Answer answer() {
    return [this](const std::string& line) { return reply(line); };
  }

 private:
  std::optional<std::string> reply(const std::string& line) {
    if (inData_ && line != ".\r\n") {
      data_ += line;
      return std::nullopt;
    }
    commands.push_back(line);
    if (inData_) {
      inData_ = false;
      messages.push_back(data_);
      return scripted(".", "250 queued\r\n");
    }
    if (step_ == Step::kLoginName) {
      step_ = Step::kLoginPassword;
      name_ = codec::Base64Decode(line);
      return scripted("AUTH", "334 UGFzc3dvcmQ6\r\n");
    }
    if (step_ == Step::kLoginPassword || step_ == Step::kCram) {
      const bool cram = step_ == Step::kCram;
      step_ = Step::kNone;
      const std::string got = codec::Base64Decode(line.substr(0, line.size() - 2));
      const bool good = cram ? got == "login " + codec::DigestToHex(codec::HmacMd5Of(kChallenge, "secret"))
                             : name_ == "login" && got == "secret";
      return scripted("AUTH", good ? "235 welcome\r\n" : "535 bad\r\n");
    }
    const std::string verb = line.substr(0, std::min<std::size_t>(4, line.size()));
    if (verb == "EHLO") return scripted("EHLO", ehlo);
    if (line.starts_with("AUTH PLAIN ")) {
      const bool good = codec::Base64Decode(line.substr(11, line.size() - 13)) == std::string("\0login\0secret", 13);
      return scripted("AUTH", good ? "235 welcome\r\n" : "535 bad\r\n");
    }
    if (line == "AUTH LOGIN\r\n") {
      step_ = Step::kLoginName;
      return scripted("AUTH", "334 VXNlcm5hbWU6\r\n");
    }
    if (line == "AUTH CRAM-MD5\r\n") {
      step_ = Step::kCram;
      return scripted("AUTH", "334 " + codec::Base64Encode(kChallenge) + "\r\n");
    }
    if (verb == "DATA") {
      std::string r = scripted("DATA", "354 go ahead\r\n");
      inData_ = r.starts_with("354");
      data_.clear();
      return r;
    }
    if (verb == "quit") return scripted("quit", "221 bye\r\n");
    return scripted(verb, "250 ok\r\n");
  }
  std::string scripted(const std::string& key, std::string ordinary) {
    const std::size_t use = uses_[key]++;
    const auto found = script.find(key);
    return found != script.end() && use < found->second.size() ? found->second[use] : ordinary;
  }

  enum class Step { kNone, kLoginName, kLoginPassword, kCram } step_ = Step::kNone;
  std::string name_;
  bool inData_ = false;
  std::string data_;
  std::map<std::string, std::size_t> uses_;
};

struct Upload {
  quelma::testing::TempDir dir;
  quelma::testing::RecordingMainWindow window;
  link::ServerControl control;
  quelma::testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  config::Configuration config;

  Upload() {
    platform::MakeDirectory(dir.file("maildrop"));
    platform::MakeDirectory(dir.file("queue"));
    config.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    config.QueueDir = dir.file("queue") + platform::kPathSeparator;
    config.PostMaster = "postmaster";
    config.LocalDomain = "office.local";
    config.SMTPServer = "127.0.0.1";
    config.SMTP_USES_LOGIN = true;
    config.SMTP_LOGIN_NAME = "login";
    config.SMTP_LOGIN_PASS = "secret";
    config.users = {{"postmaster", "", ""}, {"ivan", "", "ivan.petrov@provider.ru"}};
  }
  void queue(const std::string& name, const std::string& content) { WriteAll(config.QueueDir + name, content); }
  std::vector<std::string> queued() const { return platform::ListDirectory(config.QueueDir, "*"); }
  int run(std::uint16_t port) {
    config.SMTPSport = port;
    return RunQueueUpload({window, log, config, 2000});
  }
  // The log without stamps and tags.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& l : window.lines()) out.push_back(l.substr(l.find("> ") + 2));
    return out;
  }
  std::size_t count(const std::string& line) const {
    const auto all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
  }
  std::string postmaster() const { return ReadAll(config.MailDropDir + "postmaster"); }
};

const std::string kMessage = "MAIL FROM:<ivan@office.local>\r\nRCPT TO:<a@far.away>\r\n"
                             "Subject: hi\r\n\r\nbody\r\n";
const std::string kTrace = std::string(kTraceHeader) + "\r\n";

TEST(QueueUpload, LogsInWithTheBestMethodAndSendsTheMessageRewritten) {
  const struct {
    std::string ehlo;
    std::string logLine;
    std::size_t authLines;
  } cases[] = {
      {"250-provider.test\r\n250-AUTH LOGIN\r\n250 AUTH=PLAIN CRAM-MD5\r\n", "AUTH CRAM-MD5\r\n", 2},
      {"250-provider.test\r\n250 AUTH LOGIN PLAIN\r\n", "AUTH PLAIN\r\n", 1},
      {"250-provider.test\r\n250 AUTH LOGIN\r\n", "AUTH LOGIN\r\n", 3},
  };
  for (const auto& c : cases) {
    Upload u;
    u.queue("0000000A", "MAIL FROM:<Ivan@Office.Local>\r\nRCPT TO:<a@far.away>\r\n"
                        "From: Ivan <ivan@office.local> (Office)\r\nReply-To: ivan@office.local\r\n"
                        "From: ivan@office.local\r\n\r\n.dot\r\n..two\r\nFrom: body\r\n");
    Provider p;
    p.ehlo = c.ehlo;
    ScriptedServer server("220 provider.test ESMTP\r\n", p.answer());
    EXPECT_EQ(u.run(server.port), 0) << c.logLine;
    server.finish();
    const auto& commands = p.commands;
    ASSERT_EQ(commands.size(), 6 + c.authLines);
    EXPECT_EQ(commands[0], "EHLO office.local\r\n");
    EXPECT_EQ(commands[1 + c.authLines], "MAIL FROM:<ivan.petrov@provider.ru>\r\n");
    EXPECT_EQ(commands.back(), "quit\r\n");
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_EQ(p.messages[0], "From: Ivan <ivan.petrov@provider.ru> (office)\r\nReply-To: ivan.petrov@provider.ru\r\n"
                             "From: ivan@office.local\r\n" + kTrace + "..dot\r\n...two\r\nFrom: body\r\n");
    EXPECT_EQ(u.count(c.logLine), 1u);
    EXPECT_EQ(u.count("Сообщение от: ivan.petrov@provider.ru\r\n"), 1u);
    EXPECT_EQ(u.count("Сервер готов к приему сообщений.\r\n"), 1u);
    EXPECT_EQ(u.count("Сообщение отправлено.\r\n"), 1u);
    EXPECT_TRUE(u.queued().empty());
    EXPECT_EQ(u.postmaster(), "<missing>");
    EXPECT_FALSE(platform::FileExists(u.config.MailDropDir + "smtp_upload.runs"));
    EXPECT_EQ(u.window.statusTexts(), (std::vector<std::string>{"SMTP сеанс:", "SMTP клиент успех"}));
    EXPECT_FALSE(u.window.messages().back().posted) << "a normal end is sent";
    EXPECT_EQ(u.window.messages().back().wParam, 2u);
  }
}

TEST(QueueUpload, WithoutLoginOrWithoutAMethodItGreetsWithHelo) {
  const struct {
    bool usesLogin;
    std::string ehloReply;
    std::vector<std::string> commands;
    std::string logLine;
  } cases[] = {
      {false, "", {"HELO office.local\r\n"}, "Сервер готов к приему сообщений.\r\n"},
      {true, "500 what\r\n", {"EHLO office.local\r\n", "HELO office.local\r\n"}, "Server does not support ESMTP\r\n"},
      {true, "250-p\r\n250 SIZE 100\r\n", {"EHLO office.local\r\n", "HELO office.local\r\n"},
       "Сервер не поддерживает методы аутентификации ESMTP\r\n"},
  };
  for (const auto& c : cases) {
    Upload u;
    u.config.SMTP_USES_LOGIN = c.usesLogin;
    u.queue("0000000A", kMessage);
    Provider p;
    p.ehlo = c.ehloReply;
    ScriptedServer server("220 hi\r\n", p.answer());
    EXPECT_EQ(u.run(server.port), 0);
    server.finish();
    const auto& commands = p.commands;
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + c.commands.size()), c.commands);
    EXPECT_EQ(commands[c.commands.size()], "MAIL FROM:<ivan.petrov@provider.ru>\r\n");
    EXPECT_EQ(u.count(c.logLine), 1u);
  }
}

TEST(QueueUpload, FatalErrorsEndTheUploadAndKeepTheQueueFile) {
  const struct {
    std::string greeting;
    std::map<std::string, std::vector<std::string>> script;
    std::string ehlo;
    int error;
  } cases[] = {
      {"421 busy\r\n", {}, "", 8},
      {"220 hi\r\n", {{"AUTH", {"535 no\r\n"}}}, "250 AUTH PLAIN\r\n", 11},
      {"220 hi\r\n", {{"AUTH", {"334 x\r\n", "500 no\r\n"}}}, "250 AUTH LOGIN\r\n", 11},  // a LOGIN step not 334
      {"220 hi\r\n", {{"AUTH", {"535 no\r\n"}}}, "250 AUTH CRAM-MD5\r\n", 10},  // AUTH CRAM-MD5 not 334
      {"220 hi\r\n", {{"AUTH", {"334 " + codec::Base64Encode("no brackets") + "\r\n"}}}, "250 AUTH CRAM-MD5\r\n", 310},
      {"220 hi\r\n", {{"AUTH", {"334 " + codec::Base64Encode("<open") + "\r\n"}}}, "250 AUTH CRAM-MD5\r\n", 311},
      {"220 hi\r\n", {{"HELO", {"554 no\r\n"}}}, "500 no\r\n", 11},
      {"220 hi\r\n", {{"EHLO", {""}}}, "", 10},
      {"220 hi\r\n", {{"MAIL", {""}}}, "250 x\r\n", 13},
      {"220 hi\r\n", {{"RCPT", {""}}}, "250 x\r\n", 13},
      {"220 hi\r\n", {{"DATA", {""}}}, "250 x\r\n", 17},
      {"220 hi\r\n", {{".", {""}}}, "250 x\r\n", 22},
      {"220 hi\r\n", {{"quit", {""}}}, "250 x\r\n", 24},
      {"220 hi", {}, "", 7},  // a greeting that never ends: the receive time-out
  };
  for (const auto& c : cases) {
    Upload u;
    u.queue("0000000A", kMessage);
    Provider p;
    p.ehlo = c.ehlo;
    p.script = c.script;
    ScriptedServer server(c.greeting, p.answer());
    EXPECT_EQ(u.run(server.port), c.error);
    const auto lines = u.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Error number " + std::to_string(c.error) + "\r\n");
    EXPECT_EQ(lines.back(), "Ошибка: работа SMTP клиента окончена.\r\n");
    EXPECT_EQ(u.queued(), (c.error == 24 ? std::vector<std::string>{} : std::vector<std::string>{"0000000A"}))
        << c.error;
    EXPECT_EQ(u.window.statusTexts().back(), "SMTP клиент ОШИБКА");
    EXPECT_TRUE(u.window.messages().back().posted) << "an error end is posted";
    EXPECT_FALSE(platform::FileExists(u.config.MailDropDir + "smtp_upload.runs"));
  }
}

TEST(QueueUpload, RefusedLoginLogsTheServersWords) {
  Upload u;
  u.queue("0000000A", kMessage);
  u.config.SMTP_LOGIN_PASS = "wrong";
  Provider p;
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 11);
  const auto lines = u.lines();
  const auto at = std::find(lines.begin(), lines.end(), "Сервер не принял имя или пароль и возвратил сообщение:\r\n");
  ASSERT_NE(at, lines.end());
  EXPECT_EQ(*(at + 1), "535 bad\r\n");
}

// A notice's Date: and Message-ID: lines, their shape checked, made those of a fixed stamp;
// and the provider's refusals it quotes.
const spool::NoticeStamp kFixedStamp{0, "<0.0.notice@office.local>"};

// Whether `text` has the shape of `pattern`: '9' a digit, 'A' a letter, anything else itself.
bool Shaped(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool fits = pattern[i] == '9' ? c >= '0' && c <= '9'
                      : pattern[i] == 'A' ? (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
                                          : c == pattern[i];
    if (!fits) return false;
  }
  return true;
}

// The value of the header line `name` is replaced by `value` once it is checked with `check`.
std::string Replaced(std::string notice, const std::string& name, const std::string& value,
                     const std::function<bool(std::string_view)>& check) {
  const std::size_t at = notice.find("\r\n" + name);
  EXPECT_NE(at, std::string::npos) << name;
  if (at == std::string::npos) return notice;
  const std::size_t from = at + 2 + name.size();
  const std::size_t end = notice.find("\r\n", from);
  EXPECT_TRUE(check(std::string_view(notice).substr(from, end - from))) << notice.substr(from, end - from);
  return notice.replace(from, end - from, value);
}

std::string WithFixedStamp(std::string notice) {
  notice = Replaced(notice, "Date: ", mime::FormatMailDate(kFixedStamp.time),
                    [](std::string_view v) { return Shaped(v, "AAA, 99 AAA 9999 99:99:99 +0000"); });
  return Replaced(notice, "Message-ID: ", kFixedStamp.messageId, [](std::string_view v) {
    return v.starts_with("<") && v.ends_with(".notice@office.local>") && v.find('.') < v.find(".notice");
  });
}

std::vector<std::string> QuotedRefusals(const std::string& notice) {
  std::vector<std::string> refusals;
  const std::size_t from = notice.find("Ответ сервера:\r\n");
  if (from == std::string::npos) return refusals;
  std::string quoted = notice.substr(from + std::string("Ответ сервера:\r\n").size());
  quoted = quoted.substr(0, quoted.find("Сообщение:\r\n"));
  // Each refusal: the command, then the reply (one line in these scripts).
  for (std::size_t at = 0; at < quoted.size();) {
    const std::size_t second = quoted.find("\r\n", quoted.find("\r\n", at) + 2) + 2;
    refusals.push_back(quoted.substr(at, second - at));
    at = second;
  }
  return refusals;
}

TEST(QueueUpload, RefusalsRepetitionsAndNotices) {
  const struct {
    std::map<std::string, std::vector<std::string>> script;
    std::string file;
    std::size_t transmissions;  // DATA commands sent
    std::string outcome;        // the last log line about the message
    int notice;                 // reason, 0 = none
    std::vector<std::string> refusals = {};  // what the notice quotes of the provider
  } cases[] = {
      {{{"MAIL", {"550 no such sender\r\n"}}}, kMessage, 0,
       "Сервер не принял email адрес(а) получателей - Сообщение не отправлено.\r\n", 1,
       {"MAIL FROM:<ivan.petrov@provider.ru>\r\n550 no such sender\r\n"}},
      {{}, "MAIL FROM:<ivan@office.local>\r\nSubject: no recipients\r\n\r\nx\r\n", 0,
       "Сервер не принял email адрес(а) получателей - Сообщение не отправлено.\r\n", 1},
      {{{"RCPT", {"550 unknown\r\n", "250 ok\r\n"}}},
       "MAIL FROM:<ivan@office.local>\r\nRCPT TO:<x@far>\r\nRCPT TO:<y@far>\r\n\r\nx\r\n", 1,
       "Сообщение отправлено, но один или более адресов неправильны.\r\n", 4, {"RCPT TO:<x@far>\r\n550 unknown\r\n"}},
      {{{"RCPT", {"250 ok\r\n", "550 unknown\r\n"}}},
       "MAIL FROM:<ivan@office.local>\r\nRCPT TO:<x@far>\r\nRCPT TO:<y@far>\r\n\r\nx\r\n", 1,
       "Сообщение отправлено, но один или более адресов неправильны.\r\n", 4, {"RCPT TO:<y@far>\r\n550 unknown\r\n"}},
      {{{"RCPT", std::vector<std::string>(4, "550 5.1.1 unknown\r\n")}}, kMessage, 0,
       "Сервер не принял email адрес(а) получателей - Сообщение не отправлено.\r\n", 1,
       {"RCPT TO:<a@far.away>\r\n550 5.1.1 unknown\r\n"}},
      {{{"DATA", {"451 a\r\n", "451 b\r\n", "451 c\r\n", "451 d\r\n"}}}, kMessage, 4,
       "Превышено количество попыток.\r\n", 5, {"DATA\r\n451 d\r\n"}},
      {{{"DATA", {"451 a\r\n", "451 b\r\n", "451 c\r\n"}}}, kMessage, 4, "Сообщение отправлено.\r\n", 0},
      {{{".", {"452 a\r\n", "452 b\r\n", "452 c\r\n", "452 d\r\n"}}}, kMessage, 4,
       "Превышено количество попыток.\r\n", 5, {".\r\n452 d\r\n"}},
  };
  for (const auto& c : cases) {
    Upload u;
    u.queue("0000000A", c.file);
    Provider p;
    p.script = c.script;
    ScriptedServer server("220 hi\r\n", p.answer());
    EXPECT_EQ(u.run(server.port), 0) << c.outcome;
    server.finish();
    const auto& commands = p.commands;
    EXPECT_EQ(static_cast<std::size_t>(std::count(commands.begin(), commands.end(), "DATA\r\n")), c.transmissions);
    EXPECT_EQ(u.lines()[u.lines().size() - 2], c.outcome) << "before the quit line";
    EXPECT_TRUE(u.queued().empty());
    const std::string drop = u.postmaster();
    if (c.notice == 0) {
      EXPECT_EQ(drop, "<missing>");
      continue;
    }
    // A notice is a message like any other: its separator line carries a unique id.
    ASSERT_GT(drop.size(), 24u);
    EXPECT_TRUE(drop.starts_with(spool::kMaildropMarker));
    EXPECT_EQ(drop.substr(22, 2), "\r\n");
    EXPECT_EQ(QuotedRefusals(drop), c.refusals) << c.outcome;
    EXPECT_EQ(WithFixedStamp(drop.substr(24)),
              FormatNoticeHead(u.config, static_cast<NoticeReason>(c.notice), c.refusals, kFixedStamp) + c.file);
  }
}

TEST(QueueUpload, TheNoticeCarriesTheWholeQueueFile) {
  Upload u;
  const std::string file = "MAIL FROM:<ivan@office.local>\r\nRCPT TO:<a@far>\r\nRCPT TO:<b@far>\r\n"
                           "From ivan\r\nSubject: s\r\n\r\nbody";
  u.queue("0000000A", file);
  Provider p;
  p.script = {{"RCPT", {"250 ok\r\n", "550 unknown\r\n"}}};
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  const std::string drop = u.postmaster();
  ASSERT_GT(drop.size(), 24u);
  EXPECT_EQ(drop.substr(0, 14), std::string(spool::kMaildropMarker) + " ") << "a separator with an id";
  // A message mail programs file: dated, with its own Message-ID, MIME, from an address; the
  // provider's refusal quoted.
  EXPECT_EQ(WithFixedStamp(drop.substr(24)),
            std::string("From: \"office.local SMTP MAIL DELIVERY SYSTEM\" <MAILER-DAEMON@office.local>\r\n"
                        "To: \"Postmaster\"<postmaster@office.local>\r\n"
                        "Subject: Message delivery error notification\r\n"
                        "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\n"
                        "Message-ID: <0.0.notice@office.local>\r\n"
                        "MIME-Version: 1.0\r\n"
                        "Content-Type: text/plain; charset=Windows-1251\r\n"
                        "Content-Transfer-Encoding: 8bit\r\n\r\n"
                        "Произошла ошибка при попытке отправить сообщение на SMTP сервер.\r\n"
                        "Причина: Сообщение отправлено, но не всем указанным получателям,\r\n"
                        "т.к. сервер не смог их определить.\r\n"
                        "Ответ сервера:\r\n"
                        "RCPT TO:<b@far>\r\n550 unknown\r\n"
                        "Сообщение:\r\n" + file + "\r\n"))
      << "a last line without its ending gets one, so the next separator starts a line";
}

TEST(QueueUpload, ARepetitionAfterARefusedDataStartsWithRset) {
  Upload u;
  u.queue("0000000A", kMessage);
  u.queue("0000000B", kMessage);
  Provider p;
  p.script = {{"DATA", {"451 a\r\n", "451 b\r\n", "451 c\r\n", "451 d\r\n"}}};
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  const std::vector<std::string> transaction = {"MAIL FROM:<ivan.petrov@provider.ru>\r\n", "RCPT TO:<a@far.away>\r\n",
                                                "DATA\r\n"};
  std::vector<std::string> expected = {"EHLO office.local\r\n", "AUTH CRAM-MD5\r\n", "<answer>"};
  for (int i = 0; i < 5; ++i) {
    if (i > 0) expected.push_back("RSET\r\n");  // the fourth one before the next file's MAIL
    expected.insert(expected.end(), transaction.begin(), transaction.end());
  }
  expected.push_back(".\r\n");
  expected.push_back("quit\r\n");
  server.finish();
  auto commands = p.commands;
  ASSERT_EQ(commands.size(), expected.size());
  commands[2] = "<answer>";
  EXPECT_EQ(commands, expected);
  EXPECT_EQ(u.count("Сервер отказался принимать тело сообщения. Повторяю попытку.\r\n"), 3u);
  EXPECT_EQ(u.count("Сообщение отправлено.\r\n"), 1u);
}

TEST(QueueUpload, TheQueueListingProgressAndFilesThatAreNoMessages) {
  Upload u;
  u.queue("0000000A", kMessage);
  u.queue("0000000b", kMessage);
  u.queue("0000000C", kMessage);
  u.queue("smtps.tmp", kMessage);
  u.queue("1234567", kMessage);
  u.queue("123456789", kMessage);
  Provider p;
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  server.finish();
  EXPECT_EQ(p.messages.size(), 3u);
  EXPECT_EQ(u.queued(), (std::vector<std::string>{"1234567", "123456789", "smtps.tmp"}));
  EXPECT_EQ(u.window.progress(),
            (std::vector<std::pair<int, int>>{{1, 0}, {1, 33}, {1, 66}, {1, 100}, {1, 0}}));
  EXPECT_EQ(u.count("*** Отправка исходящих сообщений по SMTP\r\n"), 2u);
  EXPECT_EQ(u.count("Обрабатываю сообщение: 0000000b\r\n"), 1u);

  // Files that are no messages go unsent, and no connection is made for them.
  Upload v;
  v.queue("0000000A", "RCPT TO:<a@b>\r\nMAIL FROM:<c@d>\r\n\r\nx\r\n");
  v.queue("0000000B", "");
  EXPECT_EQ(v.run(1), 0);
  EXPECT_TRUE(v.queued().empty());
  EXPECT_EQ(v.lines(), (std::vector<std::string>{"*** Отправка исходящих сообщений по SMTP\r\n",
                                                 "*** Отправка исходящих сообщений по SMTP\r\n",
                                                 "Обрабатываю сообщение: 0000000A\r\n",
                                                 "Этот файл не является email сообщением!\r\n",
                                                 "Обрабатываю сообщение: 0000000B\r\n"}));
}

TEST(QueueUpload, AnEmptyQueueMakesNoConnection) {
  Upload u;
  u.queue("smtps.tmp", kMessage);
  EXPECT_EQ(u.run(1), 0);
  EXPECT_EQ(u.lines(), (std::vector<std::string>{"*** Отправка исходящих сообщений по SMTP\r\n",
                                                 "Нет сообщений для отправки\r\n",
                                                 "Заканчиваю работу SMTP клиента.\r\n"}));
  EXPECT_EQ(u.window.statusTexts(), std::vector<std::string>{"SMTP клиент успех"});
  EXPECT_TRUE(u.window.messages().back().posted);
}

TEST(QueueUpload, ConnectionFailuresKeepWhatIsNotDone) {
  {
    Upload u;  // nobody listens: error 6, every file stays
    u.queue("0000000A", kMessage);
    u.queue("0000000B", kMessage);
    auto closed = platform::Socket::CreateTcp();
    closed.bind(platform::kLoopbackAddress, 0);
    const std::uint16_t port = *closed.localPort();
    closed.close();
    EXPECT_EQ(u.run(port), 6);
    EXPECT_EQ(u.queued(), (std::vector<std::string>{"0000000A", "0000000B"}));
  }
  {
    Upload u;  // the connection breaks in the second transaction
    u.queue("0000000A", kMessage);
    u.queue("0000000B", kMessage);
    u.queue("0000000C", kMessage);
    Provider p;
    p.script = {{"MAIL", {"250 ok\r\n", "\x01" "25"}}};
    ScriptedServer server("220 hi\r\n", p.answer());
    EXPECT_EQ(u.run(server.port), 13);
    EXPECT_EQ(u.queued(), (std::vector<std::string>{"0000000B", "0000000C"}));
  }
}

TEST(QueueUpload, ANoticeThatCannotBeWrittenKeepsARefusedMessage) {
  Upload u;
  u.queue("0000000A", kMessage);
  platform::MakeDirectory(u.config.MailDropDir + "postmaster");  // a directory: it cannot be opened
  Provider p;
  p.script = {{"MAIL", {"550 no\r\n"}}};
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  EXPECT_EQ(u.queued(), std::vector<std::string>{"0000000A"});
  EXPECT_EQ(u.count("Сообщение остается в очереди до следующего сеанса.\r\n"), 1u);
}

TEST(QueueUpload, LongLinesAndASenderTooLongToSend) {
  Upload u;
  const std::string text(1199, 't');
  // Lines longer than the reader's pieces stay whole in the queue file; on the wire they are
  // dot-stuffed only at their start and broken after 998 bytes (CR LF and a space, as Postfix
  // does), and a last line without its ending gets one.
  u.queue("0000000A", "MAIL FROM:<olga@far>\r\nRCPT TO:<a@far>\r\nX-Long: " + text + "\r\n" + text +
                          "\r\n\r\n." + text + "\r\nend");
  u.queue("0000000B", "MAIL FROM:<" + std::string(104, 's') + ">\r\nRCPT TO:<a@far>\r\n\r\nx\r\n");
  Provider p;
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  server.finish();
  ASSERT_EQ(p.messages.size(), 1u);
  const auto broken = [](const std::string& line) {
    std::string out = line.substr(0, 998);
    for (std::size_t at = 998; at < line.size(); at += 997) out += "\r\n " + line.substr(at, 997);
    return out + "\r\n";
  };
  EXPECT_EQ(p.messages[0], broken("X-Long: " + text) + broken(text) + kTrace + broken(".." + text) + "end\r\n");
  EXPECT_EQ(u.count("Адрес отправителя длиннее 103 символов - сообщение не отправлено.\r\n"), 1u);
  EXPECT_NE(u.postmaster().find("MAIL FROM:<" + std::string(104, 's') + ">"), std::string::npos);
  EXPECT_TRUE(u.queued().empty());
}

TEST(QueueUpload, ASecondUploadWhileOneRunsEndsSilently) {
  Upload u;
  u.queue("0000000A", kMessage);
  auto held = platform::RunningGuard::TryAcquire(kSmtpClientGuard);
  ASSERT_TRUE(held);
  EXPECT_EQ(u.run(1), 1);
  EXPECT_TRUE(u.window.messages().empty());
  EXPECT_EQ(u.queued(), std::vector<std::string>{"0000000A"});
}

}  // namespace
}  // namespace quelma::smtp_client

namespace quelma::smtp_client {
namespace {

// A message the provider took is marked sent at once: a queue file left behind with its
// mark (a crash or a failed deletion after the 250) is removed without being sent again,
// and its name is not given to a new message while the mark stands.
TEST(QueueUpload, AMessageTheProviderTookIsNeverSentAgain) {
  Upload u;
  u.queue("0000000A", kMessage);
  u.queue("0000000B", kMessage);
  ASSERT_TRUE(spool::MarkQueueFileSent(u.config.QueueDir, "0000000A"));
  testing::WriteAll(u.config.QueueDir + "0000000C.sent", "");  // a mark whose file is gone
  const std::uint32_t tick = 0x0000000C;
  testing::WriteAll(u.config.QueueDir + "work", "MAIL FROM:<a@b>\r\n");
  EXPECT_EQ(spool::PublishQueueFile(u.config.QueueDir + "work", u.config.QueueDir, tick), "0000000D")
      << "a marked name is taken";
  platform::RemoveFile(u.config.QueueDir + "0000000D");
  Provider p;
  ScriptedServer server("220 hi\r\n", p.answer());
  EXPECT_EQ(u.run(server.port), 0);
  server.finish();
  EXPECT_EQ(p.messages.size(), 1u) << "only 0000000B went";
  EXPECT_EQ(u.count("Это сообщение уже отправлено.\r\n"), 1u);
  EXPECT_EQ(platform::ListDirectory(u.config.QueueDir, "*"), std::vector<std::string>{})
      << "the queue files and every mark are gone";
}

}  // namespace
}  // namespace quelma::smtp_client
