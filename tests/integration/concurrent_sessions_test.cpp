// Both local servers with many clients at once: everyone is served, idle and dripping clients
// hold only their own place, a full server answers "busy" instead of leaving clients hanging,
// one maildrop is open in one session at a time, and a stop ends every session.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "pop3_server/pop3_server.h"
#include "smtp_server/smtp_server.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "support/loopback_server.h"

namespace quelma {
namespace {

using testing::Client;

constexpr int kUsers = 50;

std::string UserName(int i) { return "user" + std::to_string(i); }

class Servers {
 public:
  enum Kind { kPop3, kSmtp };

  // A POP3 or SMTP server with users user0 .. user49 (password "pw"), sharing one maildrop folder.
  Servers(Kind kind, std::int32_t maxSessions, std::uint32_t timeoutMs, std::string listen = "*") : kind_(kind) {
    server_ = std::make_unique<testing::LoopbackServer>();
    platform::MakeDirectory(server_->dir.file("queue"));
    config::Configuration c;
    c.MailDropDir = server_->dir.path();
    c.QueueDir = server_->dir.file("queue") + platform::kPathSeparator;
    c.LocalDomain = "office.ru";
    c.PostMaster = UserName(0);
    c.SERVERS_TIMEOUT = timeoutMs;
    c.MAX_SESSIONS = maxSessions;
    c.LISTEN_ADDRESSES = listen;
    c.POP3_SRV_PORT = 0;
    c.SMTP_SRV_PORT = 0;
    for (int i = 0; i < kUsers; ++i) c.users.push_back({UserName(i), "pw", ""});
    if (kind == kPop3) {
      server_->start(c, &server_->control.pop3Srv, [](serving::ServerContext x) { return pop3_server::RunPop3Server(x); });
    } else {
      server_->start(c, &server_->control.smtpSrv, [](serving::ServerContext x) { return smtp_server::RunSmtpServer(x); });
    }
  }
  testing::LoopbackServer& server() { return *server_; }
  std::uint16_t port() const { return server_->port(); }
  std::string greetingEnd() const { return kind_ == kPop3 ? ">\r\n" : "here\r\n"; }
  std::string busyReply() const {
    return kind_ == kPop3 ? "-ERR [SYS/TEMP] Too many sessions, try again later\r\n"
                          : "421 4.3.2 Too many sessions, try again later\r\n";
  }
  std::string maildrop(int user) { return testing::ReadAll(server_->dir.file(UserName(user))); }

  // A whole session of user `i`: collect and delete everything (POP3) or hand in one message
  // (SMTP). True when every reply was the expected one.
  bool session(int i) {
    Client c(port());
    if (c.readUntil(greetingEnd()).find(kind_ == kPop3 ? "+OK" : "220") != 0) return false;
    if (kind_ == kSmtp) {
      return c.command("HELO pc") .starts_with("250") && c.command("MAIL FROM:<x@office.ru>").starts_with("250") &&
             c.command("RCPT TO:<" + UserName(i) + "@office.ru>").starts_with("250") &&
             c.command("DATA").starts_with("354") && c.command("Subject: " + std::to_string(i) + "\r\n\r\nhi\r\n.") ==
                                                         "250 OK\r\n" &&
             c.command("QUIT") == "221 Bye!\r\n";
    }
    if (c.command("USER " + UserName(i)) != "+OK User recognized.\r\n") return false;
    if (c.command("PASS pw") != "+OK Password recognized.\r\n") return false;
    const std::string stat = c.command("STAT");
    const int count = std::atoi(stat.c_str() + 4);
    for (int n = 1; n <= count; ++n) {
      if (c.command("RETR " + std::to_string(n), "\r\n.\r\n").find("Subject: " + std::to_string(i)) == std::string::npos)
        return false;
      if (c.command("DELE " + std::to_string(n)) != "+OK Message deleted\r\n") return false;
    }
    return count > 0 && c.command("QUIT") == "+OK bye!\r\n";
  }

 private:
  Kind kind_;
  std::unique_ptr<testing::LoopbackServer> server_;
};

// Runs `work(i)` for i in [0, count) on threads of their own, all at once; how many returned true.
int AllAtOnce(int count, const std::function<bool(int)>& work) {
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back([&, i] { succeeded += work(i) ? 1 : 0; });
  for (auto& t : threads) t.join();
  return succeeded;
}

class ConcurrentSessions : public ::testing::TestWithParam<Servers::Kind> {};

TEST_P(ConcurrentSessions, FiftyClientsAtOnceAreAllServed) {
  Servers s(GetParam(), 20, 10000);  // 30 of them wait for a place
  for (int i = 0; i < kUsers && GetParam() == Servers::kPop3; ++i) {
    for (int m = 0; m < 20; ++m) {
      spool::AppendToMaildrop(s.server().dir.file(UserName(i)), spool::NewSeparatorLine(),
                              "Subject: " + std::to_string(i) + "\r\n\r\n" + std::string(2000, 'x') + "\r\n", false);
    }
  }
  EXPECT_EQ(AllAtOnce(kUsers, [&](int i) { return s.session(i); }), kUsers);
  spool::WaitForCompactions();
  for (int i = 0; i < kUsers; ++i) {
    if (GetParam() == Servers::kPop3) {
      EXPECT_FALSE(platform::FileExists(s.server().dir.file(UserName(i)))) << "everything collected";
    } else {
      EXPECT_NE(s.maildrop(i).find("Subject: " + std::to_string(i) + "\r\n"), std::string::npos);
    }
  }
  s.server().stop();
  EXPECT_EQ(s.server().exitCode, 0);
  // Every session's lines carry its own number: 50 sessions, 50 numbers.
  std::set<std::string> numbers;
  for (const auto& line : s.server().window.unstampedLines()) {
    if (line.find("> [") != std::string::npos) numbers.insert(line.substr(line.find('['), line.find(']') - line.find('[')));
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kUsers));
}

TEST_P(ConcurrentSessions, IdleAndDrippingClientsHoldOnlyTheirOwnPlace) {
  Servers s(GetParam(), 20, 60000);
  if (GetParam() == Servers::kPop3) {
    spool::AppendToMaildrop(s.server().dir.file(UserName(1)), spool::NewSeparatorLine(), "Subject: 1\r\n\r\nx\r\n", false);
  }
  Client idle(s.port());
  ASSERT_NE(idle.readUntil(s.greetingEnd()), "");
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    Client slow(s.port());
    slow.readUntil(s.greetingEnd());
    while (dripping) {
      slow.send("N");  // one byte of a command that never ends
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  // The clients' receive time-out (3 s) is far below the server's 60 s: a session that had
  // to wait for the idle or the dripping client would fail here.
  EXPECT_TRUE(s.session(1));
  dripping = false;
  drip.join();
  s.server().stop();  // the idle client's session ends with the stop
  EXPECT_EQ(s.server().exitCode, 0);
  EXPECT_TRUE(idle.closedByPeer());
}

TEST_P(ConcurrentSessions, AFullServerAnswersBusyInsteadOfLeavingAClientHanging) {
  Servers s(GetParam(), 1, 400);  // one place; a waiting client gives up after 0.4 s
  Client first(s.port());
  ASSERT_NE(first.readUntil(s.greetingEnd()), "");
  std::atomic<bool> holding{true};
  std::thread hold([&] {  // the first client stays busy, well within its time-out
    while (holding) {
      first.command("NOOP");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  Client second(s.port());
  EXPECT_EQ(second.readUntil("\r\n"), s.busyReply());
  EXPECT_TRUE(second.closedByPeer());
  holding = false;
  hold.join();
  const auto lines = s.server().window.unlabelledLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Слишком много сеансов: клиент 127.0.0.1") != l.npos; }),
            1);
}

TEST_P(ConcurrentSessions, ABurstOf200ConnectsIsAnsweredEveryOne) {
  Servers s(GetParam(), 20, 20000);
  const int answered = AllAtOnce(200, [&](int) {
    Client c(s.port());
    if (c.readUntil(s.greetingEnd()).empty()) return false;
    return !c.command("QUIT").empty();
  });
  EXPECT_EQ(answered, 200);
}

// Twenty are served; the five beyond them are connected (the system queued them) and either
// accepted and waiting for a place or still queued, whichever the stop finds: each is closed in
// order, without a busy reply, however far the server got with it.
TEST_P(ConcurrentSessions, AStopEndsEverySession) {
  Servers s(GetParam(), 20, 60000);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 25; ++i) {
    clients.push_back(std::make_unique<Client>(s.port()));
    if (i < 20) clients.back()->readUntil(s.greetingEnd());
  }
  s.server().stop();
  EXPECT_EQ(s.server().exitCode, 0);
  for (int i = 0; i < 25; ++i) {
    char c;
    EXPECT_EQ(clients[i]->socket().receive(&c, 1), 0) << "client " << i << " not closed in order";
  }
}

// Every address by default, IPv6 among them: the same port on ::1 hands in and collects mail;
// a list of addresses opens those alone.
TEST_P(ConcurrentSessions, ListeningAddresses) {
  Servers every(GetParam(), 20, 5000);
  platform::Socket probe = platform::Socket::CreateTcp(true);
  if (!probe.bind(*platform::ParseIpAddress("::1"), 0)) GTEST_SKIP() << "no IPv6 here";
  platform::Socket v6 = platform::Socket::CreateTcp(true);
  v6.setReceiveTimeout(3000);
  ASSERT_TRUE(v6.connect(*platform::ParseIpAddress("::1"), every.port()));
  char greeting[8] = {};
  EXPECT_GT(v6.receive(greeting, sizeof greeting), 0);
  v6.close();
  if (GetParam() == Servers::kPop3) {
    spool::AppendToMaildrop(every.server().dir.file(UserName(2)), spool::NewSeparatorLine(), "Subject: 2\r\n\r\nx\r\n", false);
  }
  EXPECT_TRUE(every.session(2)) << "over IPv4 as well";
  every.server().waitForLines(4);
  const auto lines = every.server().window.unlabelledLines();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.find("Запрос соединения от ::1") != l.npos; }),
            lines.end());

  Servers only(GetParam(), 20, 5000, "127.0.0.1");
  platform::Socket other = platform::Socket::CreateTcp();
  EXPECT_FALSE(other.connect(platform::Ipv4Address{0x7F000002u}, only.port())) << "127.0.0.2 is not listened on";
  platform::Socket v6only = platform::Socket::CreateTcp(true);
  EXPECT_FALSE(v6only.connect(*platform::ParseIpAddress("::1"), only.port()));
  platform::Socket listed = platform::Socket::CreateTcp();
  EXPECT_TRUE(listed.connect(platform::kLoopbackAddress, only.port()));
}

INSTANTIATE_TEST_SUITE_P(BothServers, ConcurrentSessions, ::testing::Values(Servers::kPop3, Servers::kSmtp),
                         [](const auto& info) { return info.param == Servers::kPop3 ? "Pop3" : "Smtp"; });

TEST(Pop3Sessions, AMaildropIsOpenInOneSessionAtATime) {
  Servers s(Servers::kPop3, 20, 5000);
  const std::string drop = s.server().dir.file(UserName(3));
  spool::AppendToMaildrop(drop, spool::NewSeparatorLine(), "Subject: 3\r\n\r\nfirst\r\n", false);
  Client first(s.port());
  first.readUntil("\r\n");
  first.command("USER user3");
  ASSERT_EQ(first.command("PASS pw"), "+OK Password recognized.\r\n");

  Client second(s.port());
  second.readUntil("\r\n");
  second.command("USER user3");
  EXPECT_EQ(second.command("PASS pw"), "-ERR [IN-USE] maildrop already locked\r\n");
  // The refused login may start again, as another user.
  EXPECT_EQ(second.command("USER user4"), "+OK User recognized.\r\n");
  EXPECT_EQ(second.command("PASS pw"), "+OK Password recognized.\r\n");

  // Mail arriving meanwhile stays whole beside the first session's commit.
  EXPECT_EQ(first.command("DELE 1"), "+OK Message deleted\r\n");
  spool::AppendToMaildrop(drop, spool::NewSeparatorLine(), "Subject: 3\r\n\r\nsecond\r\n", false);
  EXPECT_EQ(first.command("QUIT"), "+OK bye!\r\n");
  spool::WaitForCompactions();  // the deleted message leaves the file after the reply
  const std::string left = testing::ReadAll(drop);
  EXPECT_EQ(left.find("first"), std::string::npos);
  EXPECT_NE(left.find("second\r\n"), std::string::npos);
  // Freed at QUIT: the next login, even at once, gets it.
  EXPECT_TRUE(s.session(3));
  const auto lines = s.server().window.unlabelledLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "POP3SRV> Почтовый ящик пользователя \"user3\" уже открыт другим сеансом: вход отклонен\r\n"),
            lines.end());
}

// A client whose line dropped logs in again at once: its old session has not yet seen the drop,
// and the new login waits for it to end rather than being refused.
TEST(Pop3Sessions, ALoginWaitsForTheSessionOfADroppedLine) {
  Servers s(Servers::kPop3, 20, 5000);
  spool::AppendToMaildrop(s.server().dir.file(UserName(3)), spool::NewSeparatorLine(), "Subject: 3\r\n\r\nx\r\n",
                          false);
  auto first = std::make_unique<Client>(s.port());
  first->readUntil("\r\n");
  first->command("USER user3");
  ASSERT_EQ(first->command("PASS pw"), "+OK Password recognized.\r\n");

  Client second(s.port());
  second.readUntil("\r\n");
  second.command("USER user3");
  second.send("PASS pw\r\n");
  first.reset();  // the line drops without QUIT
  EXPECT_EQ(second.readUntil("\r\n"), "+OK Password recognized.\r\n");
  EXPECT_TRUE(second.command("STAT").starts_with("+OK 1 17 "));
}

}  // namespace
}  // namespace quelma
