// Downloaded mail sorted while one file step fails, at every step: the provider has let the
// mail go, so after the next sorting and a restart every message is in each of its places
// exactly once (users, fallback, relayed copy), nothing torn, no file of it left.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/files.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorter_rules.h"
#include "spool/download_files.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "support/file_faults.h"
#include "support/recorded_log.h"
#include "support/spool_directories.h"

namespace quelma::sorting {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

const std::string kFirst = "From: <a@b.ru>\r\nSubject: first\r\n\r\none\r\n";
const std::string kSecond = "From: <a@b.ru>\r\nSubject: second\r\n\r\ntwo\r\n";
const std::string kThird = "From: <a@b.ru>\r\nSubject: third\r\n\r\nthree\r\n";
const std::string kRelayed = "MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\nX-Loop: localhost\r\n" + kFirst;

struct Downloaded : testing::RecordedLog, testing::SpoolDirectories {
  SorterFile sorter{SorterFilePath(dir.path())};
  std::string key = spool::AccountKey("pop.example.com", "office");

  Downloaded() {
    config.PostMaster = "postmaster";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}};
    config.accounts.push_back({});
    config.accounts[0].server = "pop.example.com";
    config.accounts[0].login = "office";
    SorterRuleTable rules = {{"Subject", "first", "ivan,far@example.com", 0}, {"Subject", "third", "ivan,petr", 0}};
    WriteSorterRules(sorter, rules);
    // Two files of the account, sorted as one delivery.
    WriteAll(dir.file(key + "-1.popfile"), kFirst + ".\r\n" + kSecond + ".\r\n");
    WriteAll(dir.file(key + "-2.popfile"), kThird + ".\r\n");
  }
  SortResult sort() { return SortDownloadedMail({config, sorter, log, dir.path()}); }

  // How often `text` is in the maildrop, after checking that it holds whole messages only.
  int copies(const std::string& user, const std::string& text) const {
    const std::string drop = ReadAll(config.MailDropDir + user);
    int count = 0;
    for (std::size_t at = 0; drop != "<missing>" && at < drop.size();) {
      EXPECT_EQ(drop.compare(at, spool::kMaildropMarker.size(), spool::kMaildropMarker), 0) << user;
      const std::size_t begin = drop.find("\r\n", at) + 2;
      const std::size_t next = std::min(drop.find(spool::kMaildropMarker, begin), drop.size());
      const std::string message = drop.substr(begin, next - begin);
      EXPECT_TRUE(message == kFirst || message == kSecond || message == kThird) << user << " torn: " << message;
      count += message == text;
      at = next;
    }
    return count;
  }
  int relayed() const {
    int count = 0;
    for (const auto& name : spool::ListQueueFiles(config.QueueDir)) {
      const std::string queued = ReadAll(config.QueueDir + name);
      EXPECT_EQ(queued, kRelayed);
      count += queued == kRelayed;
    }
    return count;
  }
};

TEST(SortingFaults, EveryFileStepFailing) {
  int stopped = 0, sorted = 0;
  const int injected = testing::FailEveryFileStep([&](testing::FaultWindow& faults) {
    Downloaded d;
    faults.open();
    const SortResult first = d.sort();
    faults.close();
    if (faults.failing()) (first == SortResult::kSorted ? sorted : stopped) += 1;
    // The next session sorts what is left; the one after finds nothing.
    const SortResult second = d.sort();
    EXPECT_TRUE(second == SortResult::kSorted || second == SortResult::kNothing) << d.transcript();
    EXPECT_EQ(d.sort(), SortResult::kNothing);
    std::string unfinished;
    ASSERT_TRUE(d.restart(&unfinished));
    EXPECT_EQ(unfinished, "");
    const std::vector<int> copies = {d.copies("ivan", kFirst), d.copies("postmaster", kSecond), d.copies("ivan", kThird),
                                     d.copies("petr", kThird), d.relayed()};
    EXPECT_EQ(copies, std::vector<int>(5, 1)) << d.transcript();
    EXPECT_EQ(d.copies("ivan", kSecond) + d.copies("petr", kFirst) + d.copies("postmaster", kFirst), 0);
    EXPECT_EQ(platform::ListDirectory(d.dir.path(), "*.popfile*"), std::vector<std::string>{});
    EXPECT_EQ(testing::UnfinishedJournals(d.config.MailDropDir), std::vector<std::string>{});
    EXPECT_EQ(platform::ListDirectory(d.config.QueueDir, "*.tmp"), std::vector<std::string>{});
    if (faults.failing() && first == SortResult::kStopped) {
      const std::string log = d.transcript();
      EXPECT_TRUE(log.find("POP3CLIENT> Не могу") != std::string::npos || log.find("POP3CLIENT> ERROR") != std::string::npos)
          << "the failure is logged";
    }
  });
  EXPECT_GT(stopped, 10);
  EXPECT_GT(sorted, 0);
  std::printf("[ sorting: %d faults injected, %d sorted, %d stopped ]\n", injected, sorted, stopped);
}

}  // namespace
}  // namespace quelma::sorting
