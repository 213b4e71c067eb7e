// The POP3 client against a scripted POP3 server on 127.0.0.1.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>

#include "codec/md5.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/running_guard.h"
#include "platform/socket.h"
#include "pop3_client/pop3_client_run.h"
#include "spool/download_files.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace quelma::pop3_client {
using namespace quelma::sorting;
namespace {

using quelma::testing::ReadAll;

using ScriptedPop3Server = quelma::testing::ScriptedServer;
using Pop3Answer = std::function<std::string(const std::string& command)>;

// A mailbox of messages (transfer form, without the final dot line).
// Message k has the unique id "id<firstId + k - 1>".
Pop3Answer Mailbox(std::vector<std::string> messages, int breakInMessage = 0, int firstId = 1) {
  return [messages, breakInMessage, firstId](const std::string& c) -> std::string {
    const std::string verb = c.substr(0, 4);
    const int n = std::atoi(c.c_str() + 5);
    if (verb == "user" || verb == "pass" || verb == "dele") return "+OK\r\n";
    if (verb == "APOP") return "-ERR no APOP here\r\n";
    if (verb == "stat") return "+OK " + std::to_string(messages.size()) + " 1000\r\n";
    if (verb == "uidl") {
      std::string listing = "+OK\r\n";
      for (std::size_t k = 1; k <= messages.size(); ++k) {
        listing += std::to_string(k) + " id" + std::to_string(firstId + static_cast<int>(k) - 1) + "\r\n";
      }
      return listing + ".\r\n";
    }
    if (verb == "list") {
      std::string listing = "+OK\r\n";
      for (std::size_t k = 1; k <= messages.size(); ++k) {
        listing += std::to_string(k) + " " + std::to_string(messages[k - 1].size()) + "\r\n";
      }
      return listing + ".\r\n";
    }
    if (verb == "retr" && n == breakInMessage) return "+OK\r\n" + messages[n - 1].substr(0, 5);  // then nothing
    if (verb == "retr") return "+OK follows\r\n" + messages[n - 1] + ".\r\n";
    if (verb == "quit") return "+OK bye\r\n";
    return "-ERR\r\n";
  };
}

struct ClientRun {
  quelma::testing::TempDir dir;
  quelma::testing::RecordingMainWindow window;
  link::ServerControl control;
  quelma::testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  config::Configuration config;
  SorterFile sorter{SorterFilePath(dir.path())};

  ClientRun() {
    platform::MakeDirectory(dir.file("maildrop"));
    config.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    config.QueueDir = dir.path();
    config.PostMaster = "postmaster";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}};
  }
  int run(std::uint16_t port, std::uint32_t useApop = 0, std::string deliverTo = "ivan") {
    config::ProviderAccount account{"127.0.0.1", "login", "secret", port, deliverTo, useApop, {}, {}, {}, {}};
    config.accounts = {account};
    return RunPop3Client({window, log, config, sorter, dir.path(), account, 2000});
  }
  std::string maildrop(const std::string& user) { return ReadAll(config.MailDropDir + user); }
};

const std::vector<std::string> kMessages = {"Subject: 1\r\n\r\n..dot\r\n", "Subject: 2\r\n\r\nb\r\n",
                                            "Subject: 3\r\n\r\n\xc0\xc1\r\n"};

TEST(Pop3Client, DownloadsDeletesAndSortsEveryMessage) {
  ClientRun r;
  ScriptedPop3Server server("+OK ready\r\n", Mailbox(kMessages));
  EXPECT_EQ(r.run(server.port), 0);
  // The three messages go to disk together, then their DELEs.
  EXPECT_EQ(server.commands, (std::vector<std::string>{"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "uidl\r\n",
                                                      "list\r\n", "retr 1\r\n", "retr 2\r\n",
                                                      "retr 3\r\n", "dele 1\r\n", "dele 2\r\n",
                                                      "dele 3\r\n", "quit\r\n"}));
  const std::string drop = r.maildrop("ivan");
  EXPECT_NE(drop.find("Subject: 1\r\n\r\n.dot\r\n"), std::string::npos) << "stored without the transparency dot";
  EXPECT_NE(drop.find("\xc0\xc1\r\n"), std::string::npos);
  EXPECT_TRUE(platform::ListDirectory(r.dir.path(), "*.popfile").empty());
  EXPECT_FALSE(platform::FileExists(r.dir.file("mail.txt")));
  EXPECT_TRUE(platform::FileExists(r.config.MailDropDir + "pop3_download.runs"));
  const auto messages = r.window.messages();
  EXPECT_EQ(messages.back().message, link::UM_WORKER_DONE);
  EXPECT_FALSE(messages.back().posted) << "sent after a successful run";
  EXPECT_EQ(r.window.statusTexts(),
            (std::vector<std::string>{"POP3 клиент сеанс:", "POP3 сортировка...", "POP3 клиент успех"}));
}

TEST(Pop3Client, TheEndSequenceSplitOverTwoPiecesEndsTheMessage) {
  ClientRun r;
  const auto inner = Mailbox(kMessages);
  ScriptedPop3Server server("+OK ready\r\n", [&](const std::string& c) {
    const std::string reply = inner(c);
    return c.starts_with("retr") ? "\x02" + reply : reply;
  });
  EXPECT_EQ(r.run(server.port), 0);
  EXPECT_NE(r.maildrop("ivan").find("Subject: 3\r\n"), std::string::npos);
}

TEST(Pop3Client, TwelveMessagesAndAnEmptyMailbox) {
  ClientRun r;
  std::vector<std::string> twelve;
  for (int i = 1; i <= 12; ++i) twelve.push_back("Subject: " + std::to_string(i) + "\r\n\r\nx\r\n");
  {
    ScriptedPop3Server server("+OK ready\r\n", Mailbox(twelve));
    EXPECT_EQ(r.run(server.port), 0);
  }
  const std::string drop = r.maildrop("ivan");
  EXPECT_LT(drop.find("Subject: 2\r\n"), drop.find("Subject: 10\r\n")) << "sorted in message-number order";
  EXPECT_NE(drop.find("Subject: 12\r\n"), std::string::npos);
  ScriptedPop3Server empty("+OK ready\r\n", Mailbox({}));
  EXPECT_EQ(r.run(empty.port), 0);
  const auto lines = r.window.unstampedLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "POP3CLIENT> ПОЧТОВЫЙ ЯЩИК НА СЕРВЕРЕ ПУСТ\r\n"), lines.end());
}

TEST(Pop3Client, ApopWithTheTimeStampOrTheFallbackToUserAndPass) {
  const std::string stamp = "<1896.697170952@dbc.mtview.ca.us>";
  {
    ClientRun r;
    ScriptedPop3Server server("+OK POP3 server ready " + stamp + "\r\n", [&](const std::string& c) -> std::string {
      if (c.starts_with("APOP")) {
        return c == "APOP login " + codec::DigestToHex(codec::Md5Of(stamp + "secret")) + "\r\n" ? "+OK\r\n" : "-ERR\r\n";
      }
      if (c.starts_with("capa")) return "-ERR\r\n";
      return c.starts_with("stat") ? "+OK 0 0\r\n" : "+OK\r\n";
    });
    EXPECT_EQ(r.run(server.port, 1), 0);
    EXPECT_EQ(server.commands.size(), 4u) << "APOP, capa, stat, quit";
  }
  {
    ClientRun r;
    ScriptedPop3Server server("+OK ready " + stamp + "\r\n", Mailbox({}));
    EXPECT_EQ(r.run(server.port, 1), 0);
    EXPECT_EQ(server.commands[1], "user login\r\n");
    const auto lines = r.window.unstampedLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "POP3CLIENT> Trying plain login\r\n"), lines.end());
  }
  {
    ClientRun r;  // no time stamp: straight to USER even with APOP asked for
    ScriptedPop3Server server("+OK ready\r\n", Mailbox({}));
    EXPECT_EQ(r.run(server.port, 1), 0);
    EXPECT_EQ(server.commands[0], "user login\r\n");
  }
}

TEST(Pop3Client, ErrorNumbersAPeerCanCause) {
  struct Case {
    std::string greeting;
    std::function<std::string(const std::string&)> answer;
    int error;
  };
  const auto refuse = [](const char* verb) {
    return [verb](const std::string& c) -> std::string {
      if (c.starts_with(verb)) return "-ERR no\r\n";
      if (c.starts_with("stat")) return "+OK 1 10\r\n";
      if (c.starts_with("uidl")) return "+OK\r\n1 one\r\n.\r\n";
      if (c.starts_with("capa")) return "-ERR\r\n";
      if (c.starts_with("list")) return "+OK\r\n1 10\r\n.\r\n";
      if (c.starts_with("retr")) return "+OK\r\nx\r\n.\r\n";
      return "+OK\r\n";
    };
  };
  const auto hangUpAt = [](const char* verb) {
    return [verb](const std::string& c) -> std::string {
      if (c.starts_with(verb)) return "";
      if (c.starts_with("stat")) return "+OK 1 10\r\n";
      if (c.starts_with("uidl")) return "+OK\r\n1 one\r\n.\r\n";
      if (c.starts_with("capa")) return "-ERR\r\n";
      if (c.starts_with("list")) return "+OK\r\n1 10\r\n.\r\n";
      if (c.starts_with("retr")) return "+OK\r\nx\r\n.\r\n";
      return "+OK\r\n";
    };
  };
  // The first part of a reply arrives, then the connection breaks.
  const auto breakAfterStart = [](const char* verb, const char* start) {
    return [verb, start](const std::string& c) -> std::string {
      if (c.starts_with(verb)) return std::string("\x01") + start;
      if (c.starts_with("stat")) return "+OK 1 10\r\n";
      if (c.starts_with("uidl")) return "+OK\r\n1 one\r\n.\r\n";
      if (c.starts_with("capa")) return "-ERR\r\n";
      if (c.starts_with("list")) return "+OK\r\n1 10\r\n.\r\n";
      return "+OK\r\n";
    };
  };
  const Case cases[] = {
      {"-ERR go away\r\n", Mailbox({}), 8},  {"", Mailbox({}), 7},
      {"+OK\r\n", breakAfterStart("user", "+OK"), 12},
      {"+OK\r\n", breakAfterStart("pass", "+OK"), 15},
      {"+OK\r\n", breakAfterStart("retr", "+OK"), 24},
      {"+OK\r\n", hangUpAt("user"), 11},      {"+OK\r\n", hangUpAt("pass"), 14},
      {"+OK\r\n", hangUpAt("stat"), 17},      {"+OK\r\n", hangUpAt("list"), 20},
      {"+OK\r\n", hangUpAt("retr"), 23},      {"+OK\r\n", hangUpAt("dele"), 27},
      {"+OK\r\n", refuse("user"), 30},        {"+OK\r\n", refuse("pass"), 30},
      {"+OK\r\n", refuse("stat"), 30},        {"+OK\r\n", refuse("list"), 30},
      {"+OK\r\n", refuse("retr"), 30},        {"+OK\r\n", refuse("dele"), 30},
      {"+OK\r\n", hangUpAt("uidl"), 32},      {"+OK\r\n", breakAfterStart("uidl", "+OK\r\n1 one\r\n"), 32},
      {"+OK\r\n", hangUpAt("capa"), 34},      {"+OK\r\n", breakAfterStart("capa", "+OK\r\nUSER\r\n"), 34},
      {"+OK\r\n", breakAfterStart("list", "+OK\r\n1 10\r\n"), 20},
  };
  for (const auto& c : cases) {
    ClientRun r;
    ScriptedPop3Server server(c.greeting.empty() ? std::string("+OK no line end") : c.greeting, c.answer);
    if (c.greeting.empty()) {
      // A greeting that never ends: the client's receive time-out ends it.
      EXPECT_EQ(r.run(server.port), c.error);
      continue;
    }
    EXPECT_EQ(r.run(server.port), c.error) << c.error;
    EXPECT_TRUE(r.window.messages().back().posted) << "posted after a failed run";
    EXPECT_EQ(r.window.statusTexts().back(), "POP3 клиент ОШИБКА");
    EXPECT_EQ(r.window.unstampedLines().back(),
              "POP3CLIENT> Ошибка " + std::to_string(c.error) + ": работа POP3 клиента закончена\r\n");
  }
}

TEST(Pop3Client, ABrokenDownloadKeepsTheFinishedFilesForTheNextRun) {
  ClientRun r;
  {
    ScriptedPop3Server server("+OK ready\r\n", Mailbox(kMessages, 3));
    EXPECT_EQ(r.run(server.port), 25);
  }
  const std::string key = spool::AccountKey("127.0.0.1", "login");
  EXPECT_EQ(platform::ListDirectory(r.dir.path(), "*.popfile"), std::vector<std::string>{key + "-1.popfile"})
      << "the two whole messages, kept";
  EXPECT_EQ(ReadAll(r.dir.file(key + "-1.popfile")), kMessages[0] + ".\r\n" + kMessages[1] + ".\r\n");
  EXPECT_EQ(r.maildrop("ivan"), "<missing>") << "this run's files are not sorted now";
  ScriptedPop3Server empty("+OK ready\r\n", Mailbox({}));
  EXPECT_EQ(r.run(empty.port), 0);
  EXPECT_EQ(r.maildrop("ivan").find("Subject: 1"), r.maildrop("ivan").rfind("Subject: 1"))
      << "the leftovers go where their account delivers, once";
  EXPECT_NE(r.maildrop("ivan").find("Subject: 2"), std::string::npos);
  EXPECT_EQ(r.maildrop("postmaster"), "<missing>");
}

// With pipelining the download goes on while stored files are sorted: a message's DELE goes
// only when its id stands in the ledger and its file is published (or sorted already), and
// every message reaches the maildrop once, in order.
TEST(Pop3Client, APipelinedDownloadSortsWhileItGoesOnAndDeletesOnlyWhatIsStored) {
  ClientRun r;
  std::vector<std::string> messages;
  for (int n = 1; n <= 600; ++n) messages.push_back("Subject: " + std::to_string(n) + "\r\n\r\nbody\r\n");
  const std::string key = spool::AccountKey("127.0.0.1", "login");
  const auto mailbox = Mailbox(messages);
  std::vector<std::string> early;  // DELEs of messages not yet stored
  ScriptedPop3Server server("+OK ready\r\n", [&](const std::string& c) -> std::string {
    if (c == "capa\r\n") return "+OK\r\nUIDL\r\nPIPELINING\r\n.\r\n";
    if (c.starts_with("dele ")) {
      const std::string n = c.substr(5, c.size() - 7);
      // The files before the maildrop: the sorter removes a file only after its delivery.
      std::string stored;
      for (const auto& name : platform::ListDirectory(r.dir.path(), "*.popfile")) stored += ReadAll(r.dir.file(name));
      stored += r.maildrop("ivan");
      const std::string ledger = ReadAll(r.dir.file(key + ".uidl"));
      if (ledger.find(" id" + n + "\n") == std::string::npos || stored.find("Subject: " + n + "\r\n") == std::string::npos) {
        early.push_back(c);
      }
    }
    return mailbox(c);
  });
  EXPECT_EQ(r.run(server.port), 0);
  server.finish();
  EXPECT_EQ(std::count_if(server.commands.begin(), server.commands.end(), [](const std::string& c) { return c.starts_with("dele "); }),
            600);
  EXPECT_EQ(early, std::vector<std::string>{});
  const std::string drop = r.maildrop("ivan");
  std::size_t at = 0;
  for (int n = 1; n <= 600; ++n) {
    const std::string subject = "Subject: " + std::to_string(n) + "\r\n";
    const std::size_t found = drop.find(subject);
    ASSERT_NE(found, std::string::npos) << subject;
    EXPECT_EQ(found, drop.rfind(subject)) << subject << " once";
    EXPECT_GE(found, at) << subject << " in order";
    at = found;
  }
  EXPECT_TRUE(platform::ListDirectory(r.dir.path(), "*.popfile*").empty());
  // Sorted files are gone, but the ledger still knows their messages until the provider
  // no longer lists them: a cut-off QUIT never has them fetched again.
  const std::string ledger = ReadAll(r.dir.file(key + ".uidl"));
  for (int n = 1; n <= 600; ++n) EXPECT_NE(ledger.find("U id" + std::to_string(n) + "\n"), std::string::npos) << n;
}

// A session cut off before its QUIT leaves its stored messages on the provider: the next one
// deletes them there by their unique ids instead of downloading them again; a provider
// without UIDL gets every message downloaded, as before.
TEST(Pop3Client, StoredMessagesLeftOnTheProviderAreDeletedNotDownloadedAgain) {
  ClientRun r;
  {
    ScriptedPop3Server server("+OK ready\r\n", Mailbox(kMessages, 3));
    EXPECT_EQ(r.run(server.port), 25);
  }
  ScriptedPop3Server again("+OK ready\r\n", Mailbox(kMessages));
  EXPECT_EQ(r.run(again.port), 0);
  EXPECT_EQ(again.finish(), (std::vector<std::string>{"user login\r\n", "pass secret\r\n", "capa\r\n", "stat\r\n", "uidl\r\n",
                                                     "list\r\n", "retr 3\r\n", "dele 1\r\n", "dele 2\r\n",
                                                     "dele 3\r\n", "quit\r\n"}));
  const std::string drop = r.maildrop("ivan");
  for (const char* subject : {"Subject: 1\r\n", "Subject: 2\r\n", "Subject: 3\r\n"}) {
    EXPECT_NE(drop.find(subject), std::string::npos) << subject;
    EXPECT_EQ(drop.find(subject), drop.rfind(subject)) << subject << " once";
  }
  // The provider has removed them now: the ledger forgets them at the next listing.
  ScriptedPop3Server later("+OK ready\r\n", Mailbox({"Subject: 4\r\n\r\nx\r\n"}, 0, 4));
  EXPECT_EQ(r.run(later.port), 0);
  EXPECT_TRUE(ReadAll(r.dir.file(spool::AccountKey("127.0.0.1", "login") + ".uidl")).starts_with("U id4\nD "));
  EXPECT_NE(r.maildrop("ivan").find("Subject: 4\r\n"), std::string::npos);
}

TEST(Pop3Client, ASecondRunWhileOneIsActiveEndsAtOnce) {
  ClientRun r;
  auto held = platform::RunningGuard::TryAcquire(kPop3ClientGuard);
  ASSERT_TRUE(held);
  EXPECT_EQ(r.run(1), 1);
  EXPECT_TRUE(r.window.lines().empty());
}

}  // namespace
}  // namespace quelma::pop3_client
