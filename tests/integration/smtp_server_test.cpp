// The SMTP server over 127.0.0.1: messages end wherever the end line falls in what arrives,
// copies and queue files hold exactly what they should, and nothing half-written stays.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_tick.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "smtp_server/smtp_server.h"
#include "support/loopback_server.h"

namespace quelma::smtp_server {
namespace {

using testing::Client;
using testing::ReadAll;

class RunningServer : public testing::LoopbackServer {
 public:
  explicit RunningServer(std::string boss = "", std::uint32_t timeoutMs = 2000) {
    platform::MakeDirectory(dir.file("maildrop"));
    platform::MakeDirectory(dir.file("queue"));
    config::Configuration c;
    c.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    c.QueueDir = dir.file("queue") + platform::kPathSeparator;
    c.LocalDomain = "office.ru";
    c.PostMaster = "postmaster";
    c.Boss = std::move(boss);
    c.SERVERS_TIMEOUT = timeoutMs;
    c.SMTP_SRV_PORT = 0;
    c.users = {{"postmaster", "", ""}, {"Ivan", "", ""}, {"petr", "", ""}, {"boss", "", ""}};
    start(c, &control.smtpSrv, [](serving::ServerContext context) { return RunSmtpServer(context); });
  }
  std::string maildrop(const std::string& user) { return ReadAll(dir.file("maildrop") + platform::kPathSeparator + user); }
  std::vector<std::string> queue() { return spool::ListQueueFiles(dir.file("queue") + platform::kPathSeparator); }
  std::string queued(const std::string& name) { return ReadAll(dir.file("queue") + platform::kPathSeparator + name); }
  std::vector<std::string> queueDirectory() { return platform::ListDirectory(dir.file("queue"), "*"); }
};

// Connects, says HELO and names the recipients; the next thing to send is the text.
Client Prepared(RunningServer& server, const std::vector<std::string>& recipients) {
  Client c(server.port());
  c.readUntil("here\r\n");
  c.command("HELO pc1");
  c.command("MAIL FROM:<ivan@office.ru>");
  for (const auto& r : recipients) c.command("RCPT TO:<" + r + ">");
  EXPECT_EQ(c.command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  return c;
}

std::string TextOf(const std::string& maildrop) {
  // The copy after its 24-byte separator line.
  return maildrop.size() >= 24 ? maildrop.substr(24) : maildrop;
}

TEST(SmtpServer, EveryTwoPieceSplitOfTheEndMarkerEndsTheMessage) {
  RunningServer server;
  const std::string text = "Subject: s\r\n\r\nbody\r\n.\r\n";
  for (std::size_t cut = text.size() - 5; cut <= text.size(); ++cut) {
    Client c = Prepared(server, {"petr@office.ru"});
    c.send(text.substr(0, cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c.send(text.substr(cut));
    EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n") << cut;
    EXPECT_EQ(c.command("QUIT"), "221 Bye!\r\n");
  }
  const std::string drop = server.maildrop("petr");
  std::size_t copies = 0;
  for (auto at = drop.find("body\r\n"); at != std::string::npos; at = drop.find("body\r\n", at + 1)) ++copies;
  EXPECT_EQ(copies, 6u);
}

TEST(SmtpServer, TheEndLineAndQuitInOnePieceKeepTheMessageAndAnswerQuit) {
  RunningServer server;
  Client c = Prepared(server, {"petr@office.ru"});
  c.send(".\r\nQUIT\r\n");
  EXPECT_EQ(c.readUntil("Bye!\r\n"), "250 OK\r\n221 Bye!\r\n") << "a lone dot as the first line ends an empty message";
  EXPECT_EQ(TextOf(server.maildrop("petr")), "");
}

TEST(SmtpServer, TextIsStoredUnstuffedWithCrLfAndLongLinesWhole) {
  RunningServer server;
  Client c = Prepared(server, {"Ivan@OFFICE.RU", "x@example.com", "ivan@office.ru"});
  const std::string long3000(3000, 'L');
  const std::string exact1199(1199, 'E');
  c.send("Subject: \xd2\xe5\xf1\xf2\r\n\r\n..dot line\r\n..\r\nbare lf\nFrom me\r\n" + long3000 + "\r\n" + exact1199 +
         "\r\nend\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  const std::string stored = "Subject: \xd2\xe5\xf1\xf2\r\n\r\n.dot line\r\n.\r\nbare lf\r\n";
  const std::string tail = "From me\r\n" + long3000 + "\r\n" + exact1199 + "\r\nend\r\n";
  const auto queue = server.queue();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(server.queued(queue[0]),
            "MAIL FROM:<ivan@office.ru>\r\nRCPT TO:<x@example.com>\r\n" + stored + tail);
  // Both spellings reach Ivan's one maildrop, one copy each, the "From " line kept.
  const std::string drop = server.maildrop("Ivan");
  EXPECT_EQ(drop.size(), 2 * (24 + stored.size() + tail.size()));
  EXPECT_EQ(TextOf(drop.substr(0, drop.size() / 2)), stored + tail);
  EXPECT_EQ(server.queueDirectory(), queue) << "no work file stays";
}

TEST(SmtpServer, LocalMailLeavesNoQueueFileAndUnknownLocalsGoToThePostmaster) {
  RunningServer server;
  Client c = Prepared(server, {"petr@office.ru", "nobody@office.ru"});
  c.send("Subject: hi\r\n\r\nx\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  EXPECT_TRUE(server.queueDirectory().empty());
  EXPECT_EQ(TextOf(server.maildrop("postmaster")), "Subject: hi\r\n\r\nx\r\n");
  // Without MAIL again, the sender of the last message is used.
  c.command("RCPT TO:<petr@office.ru>");
  EXPECT_EQ(c.command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  c.send("second\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  EXPECT_EQ(c.command("QUIT"), "221 Bye!\r\n");
  server.waitForLines(9);
  const auto lines = server.window.unlabelledLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "SMTPSRV> Сообщение локальное. Удалено из очереди исходящих.\r\n"),
            lines.end());
}

TEST(SmtpServer, TheBossGetsAMarkedCopyUnlessAmongTheRecipients) {
  RunningServer server("BOSS");
  {
    Client c = Prepared(server, {"x@example.com"});
    c.send("Subject: plan\r\n\r\nSubject: in the body\r\n.\r\n");
    EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  }
  EXPECT_EQ(TextOf(server.maildrop("boss")), "Subject: plan [BOSS COPY]\r\n\r\nSubject: in the body [BOSS COPY]\r\n");
  {
    Client c = Prepared(server, {"boss@office.ru"});
    c.send("Subject: plan\r\n\r\n.\r\n");
    EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  }
  const std::string drop = server.maildrop("boss");
  EXPECT_TRUE(drop.ends_with("Subject: plan\r\n\r\n")) << "one ordinary copy";
  EXPECT_EQ(drop.find("Subject: plan\r\n"), drop.rfind("Subject: plan\r\n"));
}

TEST(SmtpServer, AConnectionLostInTheTextLeavesNothingBehind) {
  RunningServer server("boss");
  {
    Client c = Prepared(server, {"petr@office.ru", "x@example.com"});
    c.send("Subject: half\r\n\r\nno end");
  }
  server.waitForLines(5);  // ... and "disconnected"
  EXPECT_TRUE(server.queueDirectory().empty());
  EXPECT_EQ(server.maildrop("petr"), "<missing>");
  EXPECT_EQ(server.maildrop("boss"), "<missing>");
}

TEST(SmtpServer, ClientsThatLeaveAtAnyPhaseLeaveNothingAndTheNextIsServed) {
  RunningServer server("boss");
  const std::vector<std::string> phases = {"",           "HELO pc1\r\n", "MAIL FROM:<a@b.ru>\r\n",
                                           "RCPT TO:<petr@office.ru>\r\nRCPT TO:<x@y.ru>\r\n", "DATA\r\n",
                                           "Subject: cut\r\n"};
  std::string said;
  for (const auto& phase : phases) {
    said += phase;
    Client c(server.port());
    c.readUntil("here\r\n");
    c.send(said);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  Client c = Prepared(server, {"petr@office.ru"});
  c.send("whole\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n");
  EXPECT_TRUE(server.queueDirectory().empty());
  EXPECT_EQ(TextOf(server.maildrop("petr")), "whole\r\n") << "only the message that was finished";
}

#ifndef _WIN32
// A copy that cannot be written (a full disk) is no "250 OK", and the copies made before it
// are taken back, so that the client's next attempt does not deliver them twice.
TEST(SmtpServer, ACopyThatCannotBeWrittenIsNotAcknowledged) {
  RunningServer server;
  const std::string petr = server.dir.file("maildrop") + platform::kPathSeparator + "petr";
  ASSERT_EQ(::symlink("/dev/full", petr.c_str()), 0);  // opens for appending; every write: ENOSPC
  Client c = Prepared(server, {"ivan@office.ru", "petr@office.ru", "x@example.com"});
  c.send("Subject: lost\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "421 Error! Shutting down.\r\n");
  EXPECT_EQ(server.maildrop("Ivan"), "<missing>");
  EXPECT_TRUE(server.queueDirectory().empty());
}
#endif

// The work file cannot be made: the client still sends its text, then hears why it was not
// taken, and the log names the file.
TEST(SmtpServer, AWorkFileThatCannotBeMadeIsAnsweredAfterTheText) {
  RunningServer server;
  // The queue folder is a file: nothing can be made in it.
  ASSERT_TRUE(std::filesystem::remove(server.dir.file("queue")));
  testing::WriteAll(server.dir.file("queue"), "");
  Client c = Prepared(server, {"petr@office.ru", "x@example.com"});
  c.send("Subject: nowhere\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(c.readUntil("\r\n"), "421 Error! Shutting down.\r\n");
  EXPECT_EQ(server.maildrop("petr"), "<missing>");
}

// No queue file can be made: 421, and no local recipient has a copy either.
TEST(SmtpServer, AQueueFileThatCannotBeMadeDeliversNoLocalCopy) {
  RunningServer server;
  const std::string queueDir = server.dir.file("queue") + platform::kPathSeparator;
  const std::uint32_t now = platform::ProcessUniqueTicks().next();
  for (std::uint32_t t = 1; t <= 3000; ++t) platform::AppendToFile(queueDir + spool::QueueFileName(now + t), "", false);
  Client c = Prepared(server, {"petr@office.ru", "x@example.com"});
  c.send("Subject: twice\r\n\r\nbody\r\n.\r\n");
  const std::string reply = c.readUntil("\r\n");
  if (reply != "250 OK\r\n") {  // the tick may have moved past the names taken
    EXPECT_EQ(reply, "421 Error! Shutting down.\r\n");
    EXPECT_EQ(server.maildrop("petr"), "<missing>");
  }
}

TEST(SmtpServer, LineLimitsAndTimeOuts) {
  RunningServer server("", 300);
  {
    Client c(server.port());
    c.readUntil("here\r\n");
    EXPECT_EQ(c.command("HELO " + std::string(1192, 'h')).substr(0, 9), "250 Hello") << "1199 bytes";
    c.send("NOOP " + std::string(1193, 'x') + "\r\n");
    EXPECT_TRUE(c.closedByPeer()) << "1200 bytes";
  }
  {
    Client silent(server.port());
    silent.readUntil("here\r\n");
    EXPECT_TRUE(silent.closedByPeer()) << "SERVERS_TIMEOUT";
  }
  {
    Client pipelined(server.port());
    pipelined.readUntil("here\r\n");
    pipelined.send("HELO a\r\nNOOP\r\nRSET\r\nQUIT\r\n");
    EXPECT_EQ(pipelined.readUntil("Bye!\r\n"), "250 Hello a - SMTP service is ready\r\n250 OK\r\n250 OK\r\n221 Bye!\r\n");
  }
}

TEST(SmtpServer, BadInputNeverStopsTheServer) {
  RunningServer server;
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xFF));
  for (const std::string& bytes : {junk, std::string(1 << 20, 'A'), std::string("\0\0\0\r\n", 5)}) {
    Client c(server.port());
    c.readUntil("here\r\n");
    c.send(bytes);
  }
  {
    Client c = Prepared(server, {"petr@office.ru"});
    c.send(std::string(1 << 20, 'B') + "\r\n.\r\n");
    EXPECT_EQ(c.readUntil("\r\n"), "250 OK\r\n") << "a 1 MB line of text is stored in pieces";
  }
  Client last(server.port());
  EXPECT_EQ(last.readUntil("here\r\n"), "220-SMTP server ready\r\n220 Quelmar Mail Server here\r\n");
  EXPECT_EQ(last.command("QUIT"), "221 Bye!\r\n");
}

}  // namespace
}  // namespace quelma::smtp_server
