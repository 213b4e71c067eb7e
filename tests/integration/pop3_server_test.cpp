// The POP3 server over 127.0.0.1: sessions, time-outs, the line cap, one client at a time,
// the orderly stop, a taken port, and appenders racing POP3 commits.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "platform/files.h"
#include "platform/socket.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "pop3_server/pop3_server.h"
#include "support/loopback_server.h"

namespace quelma::pop3_server {
namespace {


// A POP3 server on a free port of 127.0.0.1 with users ivan (password pw) and petr.
class RunningServer : public testing::LoopbackServer {
 public:
  explicit RunningServer(std::int32_t port = 0, std::uint32_t timeoutMs = 2000, std::int32_t maxSessions = 20,
                         config::PlaintextLogin plaintext = config::PlaintextLogin::kDefault) {
    config::Configuration c;
    c.PLAINTEXT_LOGIN = plaintext;
    c.MAX_SESSIONS = maxSessions;
    c.MailDropDir = dir.path();
    c.POP3_SRV_PORT = port;
    c.SERVERS_TIMEOUT = timeoutMs;
    c.Daemon = "daemon";
    c.users = {{"ivan", "pw", ""}, {"petr", "", ""}};
    start(c, &control.pop3Srv, [](serving::ServerContext context) { return RunPop3Server(context); });
  }
};

using testing::Client;

TEST(Pop3Server, ASessionAndItsLogLines) {
  RunningServer server;
  ASSERT_NE(server.port(), 0);
  spool::AppendToMaildrop(server.dir.file("ivan"), spool::NewSeparatorLine(), "Subject: hi\r\n\r\n.\r\n", false);
  {
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.readUntil("\r\n").starts_with("+OK POP3 server ready. Please log in. <"));
    // Pipelined commands are each answered.
    client.send("USER ivan\r\nPASS pw\r\n");
    EXPECT_EQ(client.readUntil("Password recognized.\r\n"), "+OK User recognized.\r\n+OK Password recognized.\r\n");
    EXPECT_EQ(client.command("RETR 1", "\r\n.\r\n"), "+OK message text follows\r\nSubject: hi\r\n\r\n..\r\n.\r\n");
    EXPECT_EQ(client.command("DELE 1"), "+OK Message deleted\r\n");
    EXPECT_EQ(client.command("QUIT"), "+OK bye!\r\n");
    EXPECT_TRUE(client.closedByPeer());
  }
  server.stop();
  EXPECT_EQ(server.exitCode, 0);
  spool::WaitForCompactions();  // the deleted message leaves the file after the reply
  EXPECT_FALSE(platform::FileExists(server.dir.file("ivan")));
  const auto lines = server.window.unstampedLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "POP3SRV> *** Запуск POP3 сервера.\r\n");
  EXPECT_EQ(lines[1], "POP3SRV> POP3 сервер работает на порту " + std::to_string(server.port()) + "\r\n");
  // A session's lines carry its number.
  EXPECT_EQ(lines[2], "POP3SRV> [1] Запрос соединения от 127.0.0.1\r\n");
  EXPECT_EQ(lines[3], "POP3SRV> [1] Подключился пользователь \"ivan\"\r\n");
  EXPECT_EQ(lines[4], "POP3SRV> [1] Отключен. Ожидаю следующего подключения.\r\n");
}

// Who is this computer, as the server sees it: 127.0.0.1 connecting to 127.0.0.1 is, 127.0.0.2
// connecting to 127.0.0.1 is another computer. petr has no password; LOCAL and NO are about
// USER/PASS in clear.
TEST(Pop3Server, ThisComputerAndAnotherOne) {
  using config::PlaintextLogin;
  const platform::Ipv4Address here = platform::kLoopbackAddress, there{0x7F000002u};
  const std::string refused = "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections\r\n";
  const std::string wrong = "-ERR Password incorrect. Restart login with \"user username\"!\r\n";
  const struct Case {
    const char* what;
    PlaintextLogin setting;
    platform::Ipv4Address from;
    std::string user, pass;  // the replies to "USER ..." and "PASS ..."
    const char* name;
  } cases[] = {
      {"petr from here", PlaintextLogin::kDefault, here, "+OK User recognized.\r\n", "+OK Password recognized.\r\n", "petr"},
      {"petr from there", PlaintextLogin::kDefault, there, "+OK User recognized.\r\n", wrong, "petr"},
      {"ivan from there", PlaintextLogin::kDefault, there, "+OK User recognized.\r\n", "+OK Password recognized.\r\n", "ivan"},
      {"LOCAL from here", PlaintextLogin::kLocal, here, "+OK User recognized.\r\n", "+OK Password recognized.\r\n", "ivan"},
      {"LOCAL from there", PlaintextLogin::kLocal, there, refused, "-ERR Send \"user username\"\r\n", "ivan"},
      {"NO from here", PlaintextLogin::kNo, here, refused, "-ERR Send \"user username\"\r\n", "ivan"},
  };
  for (const Case& c : cases) {
    RunningServer server(0, 2000, 20, c.setting);
    Client client(server.port(), c.from);
    ASSERT_TRUE(client.connected()) << c.what;
    client.readUntil("\r\n");
    EXPECT_EQ(client.command(std::string("USER ") + c.name), c.user) << c.what;
    EXPECT_EQ(client.command("PASS pw"), c.pass) << c.what;
  }
}

TEST(Pop3Server, DropsSilentClientsAndOverLongLines) {
  RunningServer server(0, 300);
  {
    Client silent(server.port());
    EXPECT_TRUE(silent.readUntil("\r\n").starts_with("+OK POP3 server ready."));
    EXPECT_TRUE(silent.closedByPeer()) << "dropped after SERVERS_TIMEOUT";
  }
  {
    Client talker(server.port());
    talker.readUntil("\r\n");
    talker.send(std::string(2000, 'x') + "\r\n");
    EXPECT_TRUE(talker.closedByPeer());
  }
  server.waitForLines(8);
  const auto lines = server.window.unlabelledLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "POP3SRV> Соединение потеряно на стадии идентификации.\r\n"), 2);
}

TEST(Pop3Server, OneSessionAtATimeLetsTheNextWait) {
  RunningServer server(0, 2000, 1);
  Client first(server.port());
  EXPECT_TRUE(first.readUntil("\r\n").starts_with("+OK POP3 server ready."));
  Client second(server.port());
  second.socket().setReceiveTimeout(300);
  EXPECT_EQ(second.readUntil("\r\n"), "") << "no greeting while the first client is served";
  EXPECT_EQ(first.command("QUIT"), "+OK bye!\r\n");
  second.socket().setReceiveTimeout(3000);
  EXPECT_TRUE(second.readUntil("\r\n").starts_with("+OK POP3 server ready."));
}

TEST(Pop3Server, StopEndsAConnectionInProgress) {
  RunningServer server;
  Client client(server.port());
  client.readUntil("\r\n");
  server.stop();
  EXPECT_EQ(server.exitCode, 0);
  EXPECT_TRUE(server.control.pop3Srv.stopped);
}

TEST(Pop3Server, ATakenPortIsReportedAndTheServerIdlesUntilTheStop) {
  platform::InitSocketLibrary();
  platform::Socket holder = platform::Socket::CreateTcp();
  ASSERT_TRUE(holder.bind(platform::kAnyAddress, 0) && holder.listen(1));
  RunningServer server(*holder.localPort());
  server.waitForLines(3);
  const auto lines = server.window.unstampedLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "POP3SRV> Ошибка номер: 4, WSAEADDRINUSE\r\n");
  EXPECT_EQ(lines[2], "POP3SRV> *** POP3 сервер не работает - возможно, порт " + std::to_string(*holder.localPort()) +
                          " уже занят\r\n");
  server.stop();
  EXPECT_EQ(server.exitCode, 1);
}

// Appenders deliver numbered messages while POP3 clients fetch and delete some of them: at the
// end every message was either deleted by a client or is still in the maildrop, exactly once.
TEST(Pop3Server, AppendsRacingPop3CommitsLoseNothing) {
  RunningServer server;
  const std::string drop = server.dir.file("petr");
  constexpr int kPerAppender = 400;
  std::atomic<int> finished{0};
  std::vector<std::thread> appenders;
  for (int a = 0; a < 2; ++a) {
    appenders.emplace_back([&, a] {
      for (int i = 0; i < kPerAppender; ++i) {
        spool::AppendToMaildrop(drop, spool::NewSeparatorLine(), "X-Id: " + std::to_string(a * 1000 + i) + "\r\n\r\nbody\r\n", false);
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // spread over several sessions
      }
      ++finished;
    });
  }
  std::set<std::string> deleted;
  int sessions = 0;
  auto collect = [&](bool deleteSome) {
    Client client(server.port());
    client.readUntil("\r\n");
    client.command("USER petr");
    client.command("PASS x");
    const std::string list = client.command("LIST", "\r\n.\r\n");
    const int count = std::atoi(list.c_str() + 4);
    for (int n = 1; n <= count && deleteSome; n += 2) {
      const std::string text = client.command("RETR " + std::to_string(n), "\r\n.\r\n");
      const auto id = text.find("X-Id: ");
      if (id == std::string::npos) continue;
      if (client.command("DELE " + std::to_string(n)) == "+OK Message deleted\r\n") {
        deleted.insert(text.substr(id + 6, text.find('\r', id) - id - 6));
      }
    }
    EXPECT_EQ(client.command("QUIT"), "+OK bye!\r\n");
    ++sessions;
  };
  while (finished < 2 || sessions < 3) collect(true);
  for (auto& t : appenders) t.join();
  collect(false);
  spool::WaitForCompactions();  // the deleted messages leave the file after the replies

  std::map<std::string, int> present;
  std::string content = quelma::testing::ReadAll(drop);
  for (std::size_t at = content.find("X-Id: "); at != std::string::npos; at = content.find("X-Id: ", at + 1)) {
    ++present[content.substr(at + 6, content.find('\r', at) - at - 6)];
  }
  for (int a = 0; a < 2; ++a) {
    for (int i = 0; i < kPerAppender; ++i) {
      const std::string id = std::to_string(a * 1000 + i);
      const int copies = present.count(id) ? present[id] : 0;
      EXPECT_EQ(copies + static_cast<int>(deleted.count(id)), 1) << id;
    }
  }
  EXPECT_FALSE(deleted.empty());
  EXPECT_GE(sessions, 3);
}

}  // namespace
}  // namespace quelma::pop3_server
