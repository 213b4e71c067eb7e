// Leaving mail on the provider ("keep=") and the size limit ("maxsize="), over many sessions
// with a clock the test turns, against a provider that remembers its mailbox between them.
#include <gtest/gtest.h>

#include <map>

#include "platform/files.h"
#include "platform/paths.h"
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

// The provider's mailbox across sessions: each session numbers what it holds at its start,
// and the messages deleted in it go when it takes QUIT.
struct ProviderBox {
  struct Held {
    std::string uid;
    std::string text;  // transfer form, without the end line
  };
  std::vector<Held> held;
  bool uidl = true;
  int breakInRetr = 0;          // the session's RETR of this message breaks the connection (once)
  std::map<std::string, int> fetched;  // uid -> RETRs answered whole
  int tops = 0;

  void add(const std::string& uid, const std::string& subject, std::size_t bodyBytes = 10) {
    held.push_back({uid, "Subject: " + subject + "\r\nMessage-ID: <" + uid + "@x>\r\n\r\n" +
                             std::string(bodyBytes, 'b') + "\r\n"});
  }
  bool holds(const std::string& uid) const {
    return std::any_of(held.begin(), held.end(), [&](const Held& h) { return h.uid == uid; });
  }

  quelma::testing::ScriptedServer::Answer session() {
    auto snapshot = std::make_shared<std::vector<Held>>(held);
    auto deleted = std::make_shared<std::set<std::string>>();
    return [this, snapshot, deleted](const std::string& c) -> std::optional<std::string> {
      const std::string verb = c.substr(0, 4);
      const std::size_t n = std::strtoul(c.c_str() + c.find(' ') + 1, nullptr, 10);
      const bool valid = n >= 1 && n <= snapshot->size();
      if (verb == "user" || verb == "pass") return "+OK\r\n";
      if (verb == "capa") return "-ERR\r\n";
      if (verb == "stat") return "+OK " + std::to_string(snapshot->size()) + " 1000\r\n";
      if (verb == "uidl" && uidl) {
        std::string listing = "+OK\r\n";
        for (std::size_t k = 1; k <= snapshot->size(); ++k) listing += std::to_string(k) + " " + (*snapshot)[k - 1].uid + "\r\n";
        return listing + ".\r\n";
      }
      if (verb == "list") {
        std::string listing = "+OK\r\n";
        for (std::size_t k = 1; k <= snapshot->size(); ++k) {
          listing += std::to_string(k) + " " + std::to_string((*snapshot)[k - 1].text.size()) + "\r\n";
        }
        return listing + ".\r\n";
      }
      if (verb == "retr" && valid && static_cast<int>(n) == breakInRetr) {
        breakInRetr = 0;
        return "\x01+OK\r\n" + (*snapshot)[n - 1].text.substr(0, 8);
      }
      if (verb == "retr" && valid) {
        ++fetched[(*snapshot)[n - 1].uid];
        return "+OK\r\n" + (*snapshot)[n - 1].text + ".\r\n";
      }
      if (verb == "top " && valid) {
        ++tops;
        const std::string& text = (*snapshot)[n - 1].text;
        return "+OK\r\n" + text.substr(0, text.find("\r\n\r\n") + 2) + ".\r\n";
      }
      if (verb == "dele" && valid) {
        deleted->insert((*snapshot)[n - 1].uid);
        return "+OK\r\n";
      }
      if (verb == "quit") {
        std::erase_if(held, [&](const Held& h) { return deleted->contains(h.uid); });
        return "+OK bye\r\n";
      }
      return "-ERR\r\n";
    };
  }
};

struct Office {
  quelma::testing::TempDir dir;
  quelma::testing::RecordingMainWindow window;
  link::ServerControl control;
  quelma::testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  config::Configuration config;
  SorterFile sorter{SorterFilePath(dir.path())};
  config::ProviderAccount account{"127.0.0.1", "login", "secret", 110, "ivan", 0, {}, {}, {}, {}};

  Office() {
    platform::MakeDirectory(dir.file("maildrop"));
    config.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    config.QueueDir = dir.path();
    config.PostMaster = "postmaster";
    config.LocalDomain = "office.test";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}};
    clock.time = {2026, 12, 2, 1, 9, 0, 0, 0};
  }
  // One session on day `day` of December.
  int session(ProviderBox& box, int day) {
    clock.time.day = day;
    quelma::testing::ScriptedServer server("+OK ready\r\n", box.session());
    account.port = server.port;
    config.accounts = {account};
    Pop3ClientContext context{window, log, config, sorter, dir.path(), account, 2000};
    context.clock = &clock;
    return RunPop3Client(context);
  }
  int copiesIn(const std::string& user, const std::string& subject) {
    const std::string drop = ReadAll(config.MailDropDir + user);
    int copies = 0;
    for (auto at = drop.find("Subject: " + subject + "\r\n"); at != std::string::npos; at = drop.find("Subject: " + subject + "\r\n", at + 1)) {
      ++copies;
    }
    return copies;
  }
  bool logged(const std::string& text) {
    for (const auto& line : window.unstampedLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

// keep=3: every message is downloaded once, whatever the number of sessions, and deleted at
// the first session three days after its download; keep=forever never deletes.
TEST(LeaveOnServer, EachMessageOnceAndDeletedOnItsDay) {
  struct Case {
    std::int32_t keep;
    std::vector<int> goneAfterDay;  // per message: the first day after whose session it is gone (0: never)
  };
  for (const Case& c : {Case{3, {4, 4, 6}}, Case{config::kKeepForever, {0, 0, 0}}, Case{0, {1, 1, 3}}}) {
    SCOPED_TRACE(c.keep);
    Office office;
    office.account.keepDays = c.keep;
    ProviderBox box;
    box.add("a1", "one");
    box.add("a2", "two");
    for (int day = 1; day <= 10; ++day) {
      if (day == 3) box.add("a3", "three");
      ASSERT_EQ(office.session(box, day), 0) << "day " << day;
      for (std::size_t m = 0; m < 3; ++m) {
        const std::string uid = "a" + std::to_string(m + 1);
        if (m == 2 && day < 3) continue;
        const bool gone = c.goneAfterDay[m] != 0 && day >= c.goneAfterDay[m];
        EXPECT_EQ(box.holds(uid), !gone) << uid << " after the session of day " << day;
      }
    }
    for (const auto& [uid, times] : box.fetched) EXPECT_EQ(times, 1) << uid << " downloaded once";
    EXPECT_EQ(box.fetched.size(), 3u);
    for (const char* subject : {"one", "two", "three"}) EXPECT_EQ(office.copiesIn("ivan", subject), 1) << subject;
  }
}

// A connection broken in the middle of a download, and a provider that gives one message a
// new id (a rewritten mailbox): no duplicate from the first, one more copy of that message only.
TEST(LeaveOnServer, BrokenSessionsAndRewrittenIdsDownloadOnlyWhatIsNew) {
  Office office;
  office.account.keepDays = 30;
  ProviderBox box;
  for (const char* uid : {"a1", "a2", "a3"}) box.add(uid, uid);
  box.breakInRetr = 2;
  EXPECT_EQ(office.session(box, 1), 25);
  EXPECT_EQ(office.session(box, 1), 0);
  EXPECT_EQ(office.session(box, 2), 0);
  for (const char* uid : {"a1", "a2", "a3"}) {
    EXPECT_EQ(box.fetched[uid], 1) << uid;
    EXPECT_EQ(office.copiesIn("ivan", uid), 1) << uid;
  }
  box.held[1].uid = "a2-rewritten";
  EXPECT_EQ(office.session(box, 3), 0);
  EXPECT_EQ(box.fetched["a2-rewritten"], 1);
  EXPECT_EQ(box.fetched["a1"] + box.fetched["a3"], 2) << "the others are not downloaded again";
  EXPECT_EQ(office.copiesIn("ivan", "a2"), 2);
  EXPECT_EQ(box.held.size(), 3u) << "all kept";
}

// Without UIDL nothing can be kept: the log says so and the messages go as with keep=0.
TEST(LeaveOnServer, AProviderWithoutUidlCannotKeepMail) {
  Office office;
  office.account.keepDays = 7;
  ProviderBox box;
  box.uidl = false;
  box.add("a1", "one");
  EXPECT_EQ(office.session(box, 1), 0);
  EXPECT_TRUE(office.logged("Сервер не поддерживает UIDL"));
  EXPECT_TRUE(box.held.empty());
  EXPECT_EQ(office.copiesIn("ivan", "one"), 1);
}

// maxsize: a larger message stays at the provider and is never fetched; the postmaster is told
// once per message, with its decoded subject, over many sessions, with UIDL or without; the
// note goes when the message does.
TEST(LeaveOnServer, LargeMessagesStayAndThePostmasterIsToldOnce) {
  for (const bool uidl : {true, false}) {
    SCOPED_TRACE(uidl);
    Office office;
    office.account.maxSizeKb = 1;
    ProviderBox box;
    box.uidl = uidl;
    box.add("small", "small");
    box.add("big", "=?UTF-8?B?0YHRh9GR0YI=?=", 3000);
    box.add("big2", "other", 2000);
    for (int day = 1; day <= 4; ++day) ASSERT_EQ(office.session(box, day), 0);
    EXPECT_EQ(box.fetched.count("big") + box.fetched.count("big2"), 0u);
    EXPECT_EQ(box.fetched["small"], 1);
    EXPECT_TRUE(box.holds("big") && box.holds("big2"));
    const std::string notices = ReadAll(office.config.MailDropDir + "postmaster");
    int count = 0;
    for (auto at = notices.find("Subject: Message left"); at != std::string::npos; at = notices.find("Subject: Message left", at + 1)) ++count;
    EXPECT_EQ(count, 2) << notices;
    EXPECT_NE(notices.find("Тема: счёт\r\n"), std::string::npos) << notices;
    EXPECT_NE(notices.find("Тема: other\r\n"), std::string::npos) << notices;
    EXPECT_NE(notices.find("больше предела счета 1 КБ"), std::string::npos);
    box.held.erase(box.held.begin() + 1);
    ASSERT_EQ(office.session(box, 5), 0);
    const std::string ledger = ReadAll(office.dir.file(spool::AccountKey("127.0.0.1", "login") + ".uidl"));
    EXPECT_EQ(std::count(ledger.begin(), ledger.end(), 'N'), 1) << ledger;
  }
}

}  // namespace
}  // namespace quelma::pop3_client
