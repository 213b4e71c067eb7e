// Sorting downloaded mail: rule matching on header fields, the relay sender, and whole runs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorter_matching.h"
#include "platform/cp1251_utf8.h"
#include "spool/download_files.h"
#include "spool/folder_names.h"
#include "spool/maildrop_locks.h"
#include "spool/queue_file.h"
#include "support/recorded_log.h"
#include "support/spool_directories.h"
#include "support/temp_dir.h"

namespace quelma::sorting {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

TEST(SorterMatching, HeaderFields) {
  const std::string block =
      "Received: from a\r\nReceived: from relay.example\r\nReply-To: boss@x.ru\r\nTofoo: q\r\n"
      "Subject: Quarterly\r\n\tREPORT for you\r\nFrom: \"Ivan\" <ivan@x.ru>\r\n";
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Subject", "quarterly", true},  {"subject", "quarterly", false}, {"Subject", "report", true},
      {"To", "boss", false},           {"To", "q", true},               {"Reply-To", "boss@x.ru", true},
      {"Received", "relay", true},     {"Subject", "missing", false},   {"Subject", ":", true},
  };
  for (const auto& [header, pattern, expected] : cases) {
    EXPECT_EQ(HeaderMatches(block, SorterRule{header, pattern, "ivan", 0}), expected) << header << " " << pattern;
  }
  EXPECT_FALSE(HeaderMatches(block, SorterRule{"Subject", "quarterly", "", 0})) << "no recipients: never matches";
  EXPECT_TRUE(HeaderMatches("Subject: СРОЧНО\r\n", SorterRule{"Subject", "срочно", "ivan", 0}));
}

TEST(SorterMatching, RulesInOrderWithStop) {
  config::Configuration c;
  c.users = {{"ivan", "", ""}, {"petr", "", ""}};
  const std::string block = "Subject: hello\r\n";
  const SorterRuleTable both = {{"Subject", "hello", "ivan,x@y.ru", 0}, {"Subject", "hel", "IVAN,petr,z@w.ru,nobody", 0}};
  RuleMatch m = MatchSorterRules(MessageHeader(block), both, c);
  EXPECT_TRUE(m.matched);
  EXPECT_EQ(m.users, (std::vector<bool>{true, true}));
  EXPECT_EQ(m.relay, (std::vector<std::string>{"x@y.ru", "z@w.ru"}));
  SorterRuleTable stopped = both;
  stopped[0].stop = 1;
  m = MatchSorterRules(MessageHeader(block), stopped, c);
  EXPECT_EQ(m.users, (std::vector<bool>{true, false}));
  EXPECT_EQ(m.relay, std::vector<std::string>{"x@y.ru"});
  EXPECT_FALSE(MatchSorterRules(MessageHeader("Subject: other\r\n"), both, c).matched);
}

TEST(SorterMatching, RelaySender) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"From: Ivan <ivan@x.ru>\r\n", "ivan@x.ru"},
      {"From: \"Ivan Petrov\" ivan@x.ru\r\n", "ivan@x.ru"},
      {"From:ivan@x.ru\r\n", "ivan@x.ru"},
      {"From: \"a@b\"\r\n", "a@b"},
      {"From: nobody\r\nFrom: late@x.ru\r\n", std::nullopt},
      {"Subject: x\r\n\r\nFrom: body@x.ru\r\n", std::nullopt},
      {"X: 1\r\nFrom: <a@b.ru>\r\n", "a@b.ru"},
  };
  for (const auto& [block, sender] : cases) EXPECT_EQ(RelaySender(block), sender) << block;
}

struct SortRun : testing::RecordedLog, testing::SpoolDirectories {
  SorterFile sorter{SorterFilePath(dir.path())};

  SortRun() {
    config.PostMaster = "postmaster";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}};
  }
  void rules(const SorterRuleTable& table) {
    SorterRuleTable t = table;
    WriteSorterRules(sorter, t);
  }
  // "mail.txt", as a file of an earlier version or of an account delivering to deliverTo.
  SortResult sort(bool byRules = true, const std::string& deliverTo = "*") {
    if (!platform::FileExists(dir.file("mail.txt"))) return SortResult::kNothing;
    return SortMailFile({config, sorter, log, dir.path()}, dir.file("mail.txt"), byRules, deliverTo);
  }
  std::vector<std::string> texts(const std::string& user) {
    // The messages of a maildrop, each without its separator line.
    const std::string drop = ReadAll(config.MailDropDir + user);
    std::vector<std::string> out;
    if (drop == "<missing>") return out;
    for (std::size_t at = 0; at < drop.size();) {
      const std::size_t text = drop.find("\r\n", at) + 2;
      const std::size_t next = drop.find("From \x01", text);
      out.push_back(drop.substr(text, next == std::string::npos ? std::string::npos : next - text));
      at = next == std::string::npos ? drop.size() : next;
    }
    return out;
  }
};

const std::string kOne = "From: <a@b.ru>\r\nSubject: Hello\r\n\r\n..dot line\r\n\xc0\xc1\r\n";
const std::string kTwo = "\r\nno header at all\n";
const std::string kThree = "Subject: other\r\n\r\nx\r\n";
const std::string kMailTxt = kOne + ".\r\n" + kTwo + ".\r\n" + kThree + ".\r\n";

TEST(SortDownloadedMail, ByRulesWithFallbackAndRelay) {
  SortRun r;
  r.rules({{"Subject", "hello", "ivan,far@example.com", 0}});
  WriteAll(r.dir.file("mail.txt"), kMailTxt);
  EXPECT_EQ(r.sort(), SortResult::kSorted);
  const std::string one = "From: <a@b.ru>\r\nSubject: Hello\r\n\r\n.dot line\r\n\xc0\xc1\r\n";
  EXPECT_EQ(r.texts("ivan"), std::vector<std::string>{one});
  EXPECT_EQ(r.texts("postmaster"), (std::vector<std::string>{"\r\nno header at all\r\n", kThree}));
  const auto queue = spool::ListQueueFiles(r.config.QueueDir);
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(ReadAll(r.config.QueueDir + queue[0]), "MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\nX-Loop: localhost\r\n" + one);
  EXPECT_FALSE(platform::FileExists(r.dir.file("mail.txt")));
  const auto lines = r.window.unstampedLines();
  EXPECT_EQ(lines.front(), "POP3CLIENT> Сообщение #1 для ivan\r\n");
  EXPECT_EQ(lines.back(), "POP3CLIENT> Сообщение #3 для postmaster\r\n");
}

// A rule files into users' folders: an existing one whatever the case of its name (the
// special-use ones are made first), a new one made with its name's case as the rule writes it
// (the user's name in any case), and one that cannot be a folder goes to the user's INBOX with a
// line in the log.
TEST(SortDownloadedMail, RulesFileIntoFolders) {
  SortRun r;
  r.rules({{"Subject", "hello", "ivan/archive,petr/Счета,ivan/ARCHIVE,IVAN/Projects", 0}, {"Subject", "other", "ivan/a/../b", 0}});
  WriteAll(r.dir.file("mail.txt"), kOne + ".\r\n" + kThree + ".\r\n");
  EXPECT_EQ(r.sort(), SortResult::kSorted);
  const std::string one = "From: <a@b.ru>\r\nSubject: Hello\r\n\r\n.dot line\r\n\xc0\xc1\r\n";
  EXPECT_EQ(r.texts("ivan.folders/Archive"), std::vector<std::string>{one}) << "once, in the special-use folder";
  const auto bills = spool::FolderFileName(platform::Cp1251ToUtf8("Счета"));
  ASSERT_TRUE(bills.has_value());
  EXPECT_EQ(r.texts("petr.folders/" + *bills), std::vector<std::string>{one});
  EXPECT_EQ(r.texts("ivan.folders/Projects"), std::vector<std::string>{one});
  for (const char* special : {"Sent", "Drafts", "Trash", "Junk"}) {
    EXPECT_TRUE(platform::FileExists(r.config.MailDropDir + "petr.folders/" + special)) << special;
  }
  EXPECT_EQ(r.texts("ivan"), std::vector<std::string>{kThree});
  const auto lines = r.window.unstampedLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "POP3CLIENT> Папка \"ivan/a/../b\" не может быть создана (часть имени папки \".\" или \"..\"): "
                      "сообщение #2 доставляется во входящие\r\n"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "POP3CLIENT> Сообщение #1 для petr/Счета\r\n"), lines.end());
}

// Another delivery holds the postmaster's maildrop while the sorting holds ivan's: the sorting
// gives way, is undone and begins again with both taken in order; every copy lands once.
TEST(SortDownloadedMail, AGroupThatMeetsAHeldMaildropIsBegunAgainAndDeliversOnce) {
  SortRun r;
  r.rules({{"Subject", "hello", "ivan", 0}});
  WriteAll(r.dir.file("mail.txt"), kMailTxt);
  std::promise<void> held;
  std::thread other([&] {
    std::lock_guard<std::timed_mutex> hold(spool::MaildropDeliveryLock(r.config.MailDropDir + "postmaster"));
    held.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  });
  held.get_future().wait();
  EXPECT_EQ(r.sort(), SortResult::kSorted);
  other.join();
  EXPECT_EQ(r.texts("ivan").size(), 1u);
  EXPECT_EQ(r.texts("postmaster"), (std::vector<std::string>{"\r\nno header at all\r\n", kThree}));
  EXPECT_EQ(testing::UnfinishedJournals(r.config.MailDropDir), std::vector<std::string>{});
}

TEST(SortDownloadedMail, OutsideAddressesOnlyAreRelayedAndReachNoLocalUser) {
  SortRun r;
  r.rules({{"Subject", "hello", "far@example.com,near@example.org", 1}});
  WriteAll(r.dir.file("mail.txt"), kOne + ".\r\n");
  EXPECT_EQ(r.sort(), SortResult::kSorted);
  EXPECT_TRUE(r.texts("postmaster").empty()) << "no fallback for a placed message";
  EXPECT_TRUE(r.texts("ivan").empty());
  const auto queue = spool::ListQueueFiles(r.config.QueueDir);
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_TRUE(ReadAll(r.config.QueueDir + queue[0])
                  .starts_with("MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\nRCPT TO:<near@example.org>\r\n"));
  EXPECT_EQ(r.window.unstampedLines().back(), "POP3CLIENT> Сообщение #1 пересылается far@example.com,near@example.org\r\n");
}

TEST(SortDownloadedMail, FallbackListsAndTheAccountsUser) {
  struct Case {
    std::string undisclosed;
    bool byRules;
    std::vector<std::string> ivan, petr, postmaster;
  };
  const Case cases[] = {
      {"", true, {}, {}, {kThree}},
      {"ivan,petr", true, {kThree}, {kThree}, {}},
      {"ivan,petr", false, {}, {kThree}, {}},  // to the account's user; rules not read
  };
  for (const auto& c : cases) {
    SortRun r;
    r.config.UNDISCLOSED_MAIL_TO = c.undisclosed;
    WriteAll(r.dir.file("mail.txt"), kThree + ".\r\n");
    EXPECT_EQ(r.sort(c.byRules, "petr"), SortResult::kSorted);
    EXPECT_EQ(r.texts("ivan"), c.ivan);
    EXPECT_EQ(r.texts("petr"), c.petr);
    EXPECT_EQ(r.texts("postmaster"), c.postmaster);
  }
}

// A file of downloaded mail is one delivery: when one of its messages cannot be delivered,
// none of them stays delivered and the file waits whole for the next run.
TEST(SortDownloadedMail, AStoppedFileIsDeliveredNoneOrAll) {
  SortRun r;
  WriteAll(r.dir.file("mail.txt"), kMailTxt);
  // The first message reaches ivan; the second's maildrop cannot be opened.
  r.rules({{"Subject", "hello", "ivan", 0}});
  r.config.UNDISCLOSED_MAIL_TO = "gone/x";
  EXPECT_EQ(r.sort(), SortResult::kStopped);
  EXPECT_EQ(ReadAll(r.dir.file("mail.txt")), kMailTxt);
  EXPECT_TRUE(r.texts("ivan").empty()) << "the first message's copy was undone";
  r.config.UNDISCLOSED_MAIL_TO = "petr";
  EXPECT_EQ(r.sort(), SortResult::kSorted);
  EXPECT_EQ(r.texts("ivan").size(), 1u) << "nothing delivered twice";
  EXPECT_EQ(r.texts("petr").size(), 2u);
  EXPECT_EQ(r.sort(), SortResult::kNothing);
}

// A copy that cannot be made keeps the message for the next run: every other copy of it is
// taken back, the log says which maildrop failed, and the next run delivers it once.
TEST(SortDownloadedMail, AFailedCopyKeepsTheMessageWholeForTheNextRun) {
  struct Case {
    const char* name;
    SorterRuleTable rules;
    std::string undisclosed;
  };
  const Case cases[] = {
      {"second user of a rule", {{"Subject", "hello", "ivan,petr", 0}}, ""},
      {"second rule", {{"Subject", "hello", "ivan", 0}, {"From", "a@b", "petr", 0}}, ""},
      {"unsorted-mail list", {{"Subject", "nothing matches", "ivan", 0}}, "ivan,petr"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SortRun r;
    r.rules(c.rules);
    r.config.UNDISCLOSED_MAIL_TO = c.undisclosed;
    WriteAll(r.dir.file("mail.txt"), kOne + ".\r\n");
    platform::MakeDirectory(r.config.MailDropDir + "petr");  // a maildrop that cannot be opened
    EXPECT_EQ(r.sort(), SortResult::kStopped);
    EXPECT_TRUE(r.texts("ivan").empty()) << "ivan's copy was taken back";
    EXPECT_EQ(ReadAll(r.dir.file("mail.txt")), kOne + ".\r\n");
    // With the system's reason (the sorting ran on this thread).
    EXPECT_TRUE(r.logged("POP3CLIENT> Не могу записать сообщение #1 в почтовый ящик \"petr\" (файл не открывается: " +
                         platform::LastFileErrorText() + "): сообщение остается до следующего сеанса\r\n"));
    std::filesystem::remove(r.config.MailDropDir + "petr");
    EXPECT_EQ(r.sort(), SortResult::kSorted);
    EXPECT_EQ(r.texts("ivan").size(), 1u);
    EXPECT_EQ(r.texts("petr").size(), 1u);
  }
}

TEST(SortDownloadedMail, AnUnreadableRulesFileHoldsTheMailInsteadOfSendingAllToThePostmaster) {
  SortRun r;
  platform::MakeDirectory(r.sorter.path());  // sorter.cfg can be neither read nor made
  WriteAll(r.dir.file("mail.txt"), kMailTxt);
  EXPECT_EQ(r.sort(), SortResult::kStopped);
  EXPECT_TRUE(r.texts("postmaster").empty());
  EXPECT_EQ(ReadAll(r.dir.file("mail.txt")), kMailTxt);
  EXPECT_EQ(r.window.unstampedLines().back(),
            "POP3CLIENT> Не могу прочитать файл sorter.cfg: почта остается до следующего сеанса\r\n");
  EXPECT_EQ(r.sort(false, "ivan"), SortResult::kSorted) << "an account's own user needs no rules";
  EXPECT_EQ(r.texts("ivan").size(), 3u);
}

// Another account's download file waits with its id pending in that account's ledger (its
// run was cut off): whichever run sorts the file settles that ledger first, so the other
// account's next session deletes the message instead of downloading it again.
TEST(SortDownloadedMail, EveryLedgerIsSettledBeforeItsFilesAreTaken) {
  SortRun r;
  r.config.accounts = {{"pop.a", "one", "", 110, "petr", 0, {}, {}, {}, {}}};
  const std::string key = spool::AccountKey("pop.a", "one");
  WriteAll(r.dir.file(key + "-1.popfile"), kThree + ".\r\n");
  WriteAll(r.dir.file(key + ".uidl"), "P 1 m1\n");
  EXPECT_EQ(SortDownloadedMail({r.config, r.sorter, r.log, r.dir.path()}), SortResult::kSorted);
  EXPECT_EQ(ReadAll(r.dir.file(key + ".uidl")), "U m1\n");
  EXPECT_EQ(r.texts("petr").size(), 1u);
}

// What waits goes where its account delivers: a file of an account that still exists to its
// deliverTo (or through the rules for "*"), the files of earlier versions and of accounts that
// are gone through the rules.
TEST(SortDownloadedMail, EveryWaitingFileGoesWhereItsAccountDelivers) {
  SortRun r;
  r.rules({});
  r.config.accounts = {{"pop.a", "one", "", 110, "petr", 0, {}, {}, {}, {}}, {"pop.b", "two", "", 110, "*", 0, {}, {}, {}, {}}};
  const auto key = [](const char* server, const char* login) { return spool::AccountKey(server, login); };
  WriteAll(r.dir.file("mail.txt"), kThree + ".\r\n");
  WriteAll(r.dir.file("7.popfile"), kThree + ".\r\n");
  WriteAll(r.dir.file(key("pop.a", "one") + "-1.popfile"), kThree + ".\r\n");
  WriteAll(r.dir.file(key("pop.b", "two") + "-1.popfile"), kThree + ".\r\n");
  WriteAll(r.dir.file(key("pop.gone", "x") + "-1.popfile"), kThree + ".\r\n");
  WriteAll(r.dir.file(key("pop.a", "one") + "-2.popfile.part"), "cut off");
  EXPECT_EQ(SortDownloadedMail({r.config, r.sorter, r.log, r.dir.path()}), SortResult::kSorted);
  EXPECT_EQ(r.texts("petr").size(), 1u);
  EXPECT_EQ(r.texts("postmaster").size(), 4u) << "mail.txt, 7.popfile, pop.b's and the gone account's";
  EXPECT_EQ(platform::ListDirectory(r.dir.path(), "*popfile*"), std::vector<std::string>{});
  EXPECT_FALSE(platform::FileExists(r.dir.file("mail.txt")));
  EXPECT_EQ(SortDownloadedMail({r.config, r.sorter, r.log, r.dir.path()}), SortResult::kNothing);
}

}  // namespace
}  // namespace quelma::sorting
