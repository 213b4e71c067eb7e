// The IMAP server over 127.0.0.1: a session with literals and pipelined commands, IDLE told of
// a delivery by another writer at once, two clients of one user, an idle client's goodbye at
// the server's stop.
#include <gtest/gtest.h>

#include <thread>

#include "imap_server/imap_server.h"
#include "spool/delivery.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "support/loopback_server.h"

namespace quelma::imap_server {
namespace {

using testing::Client;

class RunningServer : public testing::LoopbackServer {
 public:
  RunningServer() {
    c.PLAINTEXT_LOGIN = config::PlaintextLogin::kYes;
    c.MailDropDir = dir.path();
    c.QueueDir = dir.path();
    c.IMAP_SRV_PORT = 0;
    c.SERVERS_TIMEOUT = 3000;
    c.Daemon = "daemon";
    c.users = {{"ivan", "pw", ""}, {"petr", "", ""}};
    start(c, &control.pop3Srv, [](serving::ServerContext context) { return RunImapServer(context); });
  }
  ~RunningServer() {
    stop();
    spool::FinishCompactions();
    spool::Mailbox::ForgetIdle();
  }
  // A message delivered as intake delivers: a delivery with its journal, then the commit.
  void deliver(const std::string& user, const std::string& text) {
    spool::Delivery delivery(c);
    const std::string path = spool::MaildropPath(c, user);
    ASSERT_TRUE(delivery.willAppend({path}));
    ASSERT_EQ(spool::AppendToMaildrop(path, spool::NewSeparatorLine(), text, false), spool::AppendResult::kAppended);
    ASSERT_TRUE(delivery.commit());
  }
  config::Configuration c;
};

TEST(ImapServer, SessionIdleAndTwoClients) {
  RunningServer server;
  ASSERT_NE(server.port(), 0);
  server.deliver("ivan", "Subject: one\r\n\r\nbody\r\n");
  Client phone(server.port());
  ASSERT_TRUE(phone.connected());
  EXPECT_TRUE(phone.readUntil("\r\n").starts_with("* OK [CAPABILITY IMAP4rev1 IMAP4rev2 "));
  // A synchronizing literal is asked for; pipelined commands after it are each answered.
  EXPECT_EQ(phone.command("a LOGIN {4}", "\r\n"), "+ OK\r\n");
  EXPECT_TRUE(phone.command("ivan pw\r\nb SELECT INBOX", "b OK [READ-WRITE] Select completed.\r\n").find("* 1 EXISTS") !=
              std::string::npos);

  Client desktop(server.port());
  desktop.readUntil("\r\n");
  desktop.command("a LOGIN ivan pw", "Logged in\r\n");
  desktop.command("b SELECT INBOX", "Select completed.\r\n");

  EXPECT_EQ(phone.command("i IDLE"), "+ idling\r\n");
  // Another writer's delivery reaches the idling client without a word from it.
  server.deliver("ivan", "Subject: two\r\n\r\nbody\r\n");
  const std::string told = phone.readUntil("RECENT\r\n");
  EXPECT_NE(told.find("* 2 EXISTS\r\n"), std::string::npos) << told;
  // And the other client's flag change too.
  EXPECT_NE(desktop.command("s STORE 1 +FLAGS (\\Flagged)", "s OK Store completed.\r\n").find("FETCH"), std::string::npos);
  EXPECT_EQ(phone.readUntil(")\r\n"), "* 1 FETCH (FLAGS (\\Flagged))\r\n");  // before the first open: not \\Recent
  EXPECT_EQ(phone.command("DONE"), "i OK Idle completed.\r\n");

  EXPECT_EQ(phone.command("f UID FETCH 2 BODY[]", "f OK Fetch completed.\r\n"),
            "* 2 FETCH (UID 2 FLAGS (\\Seen \\Recent) BODY[] {22}\r\nSubject: two\r\n\r\nbody\r\n)\r\n"
            "f OK Fetch completed.\r\n");
  // An idling client hears the goodbye of a stopping server.
  EXPECT_EQ(desktop.command("i IDLE", "+ idling\r\n"), "* 2 FETCH (FLAGS (\\Seen))\r\n+ idling\r\n");
  server.stop();
  EXPECT_TRUE(desktop.closedByPeer());
  EXPECT_EQ(server.exitCode, 0);
}

}  // namespace
}  // namespace quelma::imap_server
