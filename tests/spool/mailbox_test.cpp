// The shared mailbox: expunges that take effect at once and compactions after them (also with
// each file step failing), many sessions on one mailbox, and flags and UIDs that outlive the
// program.
#include "spool/mailbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/files.h"
#include "spool/delivery.h"
#include "spool/mailbox_index_file.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "support/file_faults.h"
#include "support/spool_directories.h"

namespace quelma::spool {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;
using namespace std::chrono_literals;

std::string Sep(std::uint32_t id) { return FormatMaildropSeparator(id) + "\r\n"; }

const std::string kA = "Subject: a\r\n\r\nA\r\n", kB = "Subject: b\r\n\r\nBB\r\n", kC = "Subject: c\r\n\r\nCCC\r\n";
const std::string kThree = Sep(0xA) + kA + Sep(0xB) + kB + Sep(0xC) + kC;
const std::string kLate = Sep(0xD) + "late\r\n";

std::vector<std::string> Ids(const MailboxIndex& index) {
  std::vector<std::string> ids;
  for (const auto& m : index.messages) ids.push_back(m.id);
  return ids;
}

std::string TextOf(Mailbox& box, std::uint32_t uid) {
  std::string text;
  const auto read = box.readText(uid, [&text](std::string_view piece) {
    text += piece;
    return true;
  });
  return read == Mailbox::ReadResult::kWhole ? text : "<" + std::to_string(static_cast<int>(read)) + ">";
}

struct Store : testing::SpoolDirectories {
  std::string drop() const { return config.MailDropDir + "ivan"; }
  // A POP3 QUIT that deleted the messages marked '1'; `meanwhile` runs after the listing.
  bool quit(const std::string& deleted, const std::function<void()>& meanwhile = {}) {
    auto box = Mailbox::Open(drop());
    const MailboxIndex listed = box->index();
    std::vector<std::uint32_t> uids;
    for (std::size_t i = 0; i < deleted.size() && i < listed.messages.size(); ++i) {
      if (deleted[i] == '1') uids.push_back(listed.messages[i].uid);
    }
    if (meanwhile) meanwhile();
    return box->expunge(uids);
  }
};

TEST(Mailbox, AnExpungeHidesAtOnceAndTheFileIsCompactedAfter) {
  const struct {
    const char* name;
    std::string before, deleted;
    bool appendMeanwhile;
    std::string after;
  } cases[] = {
      {"nothing deleted", kThree, "000", false, kThree},
      {"the first", kThree, "100", false, Sep(0xB) + kB + Sep(0xC) + kC},
      {"the middle", kThree, "010", false, Sep(0xA) + kA + Sep(0xC) + kC},
      {"the last: cut short", kThree, "001", false, Sep(0xA) + kA + Sep(0xB) + kB},
      {"the newest two", kThree, "011", false, Sep(0xA) + kA},
      {"all", kThree, "111", false, "<missing>"},
      {"all, with mail that came meanwhile", kThree, "111", true, kLate},
      {"the middle, with mail that came meanwhile", kThree, "010", true, Sep(0xA) + kA + Sep(0xC) + kC + kLate},
      {"the last, with mail that came meanwhile", kThree, "001", true, Sep(0xA) + kA + Sep(0xB) + kB + kLate},
      {"stray text in front stays without a rewrite", "junk\r\n" + kThree, "000", false, "junk\r\n" + kThree},
      {"a torn tail stays with its message", kThree + "cut", "100", false, Sep(0xB) + kB + Sep(0xC) + kC + "cut"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Store s;
    WriteAll(s.drop(), c.before);
    const auto append = [&] {
      ASSERT_EQ(AppendToMaildrop(s.drop(), Sep(0xD), "late\r\n", false), AppendResult::kAppended);
    };
    std::vector<std::string> wanted;
    for (std::size_t i = 0; i < c.deleted.size(); ++i) {
      if (c.deleted[i] == '0') wanted.push_back(FormatMaildropSeparator(0xA + static_cast<std::uint32_t>(i)).substr(14));
    }
    ASSERT_TRUE(s.quit(c.deleted, c.appendMeanwhile ? std::function<void()>(append) : nullptr));
    auto box = Mailbox::Open(s.drop());
    if (c.appendMeanwhile) wanted.push_back("0000000D");
    EXPECT_EQ(Ids(box->index()), wanted) << "seen at once, before any compaction";
    const auto listed = box->index().messages;
    WaitForCompactions();
    EXPECT_EQ(platform::FileExists(s.drop()) ? ReadAll(s.drop()) : "<missing>", c.after);
    EXPECT_FALSE(box->hasExpunged());
    ASSERT_EQ(box->index().messages.size(), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
      EXPECT_EQ(box->index().messages[i].uid, listed[i].uid) << "every UID still names the same message";
      EXPECT_EQ(box->index().messages[i].id, listed[i].id);
      EXPECT_NE(TextOf(*box, listed[i].uid)[0], '<');
    }
    EXPECT_TRUE(platform::ListDirectory(s.config.MailDropDir, kCommitWorkFiles).empty());
    // A start over reads the same from the disk.
    ASSERT_TRUE(s.restart());
    const MailboxIndex before = box->index();
    box.reset();
    Mailbox::ForgetIdle();
    EXPECT_EQ(Mailbox::Open(s.drop())->index(), before);
  }
}

// An expunge or its compaction meeting a failing step: the expunge is acknowledged only with
// its record on disk; whatever the compaction managed, after a start over the mailbox shows
// exactly the messages it showed before the failure, each under its UID, and no work file stays.
TEST(Mailbox, EveryFileStepOfExpungeAndCompactionFailing) {
  for (const std::string deleted : {"010", "111", "001"}) {
    SCOPED_TRACE("deleting " + deleted);
    int acknowledged = 0, refused = 0;
    testing::FailEveryFileStep([&](testing::FaultWindow& faults) {
      Store s;
      WriteAll(s.drop(), kThree);
      s.quit("000");  // indexed: UIDs 1, 2, 3
      faults.open();
      const bool expunged = s.quit(deleted);
      WaitForCompactions();
      faults.close();
      if (faults.failing()) (expunged ? acknowledged : refused) += 1;
      ASSERT_TRUE(s.restart());
      const MailboxIndex after = Mailbox::Open(s.drop())->index();
      std::vector<std::uint32_t> uids;
      for (const auto& m : after.messages) uids.push_back(m.uid);
      std::vector<std::uint32_t> wanted;
      for (std::uint32_t i = 0; i < 3; ++i) {
        if (!expunged || deleted[i] == '0') wanted.push_back(i + 1);
      }
      if (expunged) {
        EXPECT_EQ(uids, wanted);
      } else {
        EXPECT_TRUE(uids == wanted || uids.size() == wanted.size() - static_cast<std::size_t>(std::count(deleted.begin(), deleted.end(), '1')))
            << "all of it or none";
      }
      WaitForCompactions();
      EXPECT_TRUE(platform::ListDirectory(s.config.MailDropDir, kCommitWorkFiles).empty());
    });
    EXPECT_GT(refused, 0);
    EXPECT_GT(acknowledged, 0) << "a failing compaction does not undo the expunge";
  }
}

TEST(Mailbox, SessionsOfOneMailboxSeeEachOthersChanges) {
  Store s;
  WriteAll(s.drop(), kThree);
  auto phone = Mailbox::Open(s.drop());
  auto desktop = Mailbox::Open(s.drop());
  ASSERT_EQ(phone, desktop) << "one mailbox object for every session";
  std::atomic<int> heard{0};
  auto listening = desktop->subscribe([&heard] { ++heard; });

  // Mail delivered while both are open: the delivery tells the open mailbox.
  {
    Delivery delivery(s.config);
    ASSERT_TRUE(delivery.willAppend({s.drop()}));
    ASSERT_EQ(AppendToMaildrop(s.drop(), Sep(0xD), "late\r\n", false), AppendResult::kAppended);
    ASSERT_TRUE(delivery.commit().has_value());
  }
  EXPECT_EQ(heard.load(), 1);
  ASSERT_EQ(desktop->index().messages.size(), 4u);
  EXPECT_EQ(desktop->index().messages.back().uid, 4u);

  const std::uint64_t before = phone->index().highestModseq;
  const auto modseq = phone->setFlags(2, flag::kSeen | flag::kFlagged, 0);
  ASSERT_TRUE(modseq.has_value());
  EXPECT_GT(*modseq, before);
  EXPECT_EQ(heard.load(), 2);
  EXPECT_EQ(desktop->index().messages[1].flags, flag::kSeen | flag::kFlagged);
  EXPECT_FALSE(phone->setFlags(99, flag::kSeen, 0).has_value()) << "no such UID";

  ASSERT_TRUE(phone->expunge({1, 99}));
  EXPECT_EQ(heard.load(), 3);
  EXPECT_EQ(Ids(desktop->index()), (std::vector<std::string>{"0000000B", "0000000C", "0000000D"}));
  EXPECT_EQ(TextOf(*desktop, 1), kA) << "readable until compacted away";
  WaitForCompactions();
  EXPECT_EQ(TextOf(*desktop, 1), "<3>") << "gone";
  EXPECT_EQ(TextOf(*desktop, 4), "late\r\n");

  const auto junk = phone->keyword("$Junk");
  ASSERT_TRUE(junk.has_value());
  EXPECT_EQ(phone->keyword("$Junk"), junk);
  ASSERT_TRUE(phone->setFlags(3, flag::kSeen, std::uint64_t{1} << *junk).has_value());
  listening.reset();
  phone.reset();
  desktop.reset();

  // The program ends and starts again: UIDs, flags and keywords as they were.
  ASSERT_TRUE(s.restart());
  auto again = Mailbox::Open(s.drop());
  const MailboxIndex index = again->index();
  ASSERT_EQ(index.messages.size(), 3u);
  EXPECT_EQ(index.messages[0].uid, 2u);
  EXPECT_EQ(index.messages[0].flags, flag::kSeen | flag::kFlagged);
  EXPECT_EQ(index.messages[1].keywords, std::uint64_t{1} << *junk);
  EXPECT_EQ(index.keywords[*junk], "$Junk");
  EXPECT_EQ(index.uidNext, 5u);
}

TEST(Mailbox, MailAddedOrTakenBehindItsBackIsFoundAtTheNextOpen) {
  Store s;
  WriteAll(s.drop(), kThree);
  auto box = Mailbox::Open(s.drop());
  ASSERT_TRUE(box->setFlags(3, flag::kAnswered, 0).has_value());
  // An older build appends, then its QUIT takes the first message.
  WriteAll(s.drop(), ReadAll(s.drop()) + kLate);
  EXPECT_EQ(Mailbox::Open(s.drop())->index().messages.size(), 4u);
  WriteAll(s.drop(), Sep(0xB) + kB + Sep(0xC) + kC + kLate);
  const MailboxIndex index = Mailbox::Open(s.drop())->index();
  EXPECT_EQ(Ids(index), (std::vector<std::string>{"0000000B", "0000000C", "0000000D"}));
  EXPECT_EQ(index.messages[1].uid, 3u);
  EXPECT_EQ(index.messages[1].flags, flag::kAnswered);
  EXPECT_EQ(TextOf(*box, 3), kC);
  // The index's folder taken away while the mailbox is open: written again from memory.
  std::filesystem::remove_all(UserFolderOf(s.drop()));
  ASSERT_TRUE(Mailbox::Open(s.drop())->expunge({2}));
  EXPECT_TRUE(platform::FileExists(MailboxIndexPath(s.drop())));
  box.reset();
  ASSERT_TRUE(s.restart());
  EXPECT_EQ(Mailbox::Open(s.drop())->index().messages[0].flags, flag::kAnswered) << "the flags were in memory";
  box = Mailbox::Open(s.drop());
  // Truncated by hand in the middle of the last message: what is left is another message.
  WriteAll(s.drop(), Sep(0xC) + kC + kLate.substr(0, 26));
  const MailboxIndex cut = Mailbox::Open(s.drop())->index();
  EXPECT_EQ(cut.messages.front().uid, 3u);
  EXPECT_EQ(cut.messages.back().uid, 5u);
  // Written again by hand to the very same size, the last message another one: an open that
  // trusted the size alone would keep serving the message that went.
  const std::string same = Sep(0xC) + kC + Sep(0xE) + kLate.substr(Sep(0xD).size(), 26 - Sep(0xD).size());
  ASSERT_EQ(same.size(), ReadAll(s.drop()).size());
  WriteAll(s.drop(), same);
  const auto reopened = Mailbox::Open(s.drop());
  EXPECT_EQ(Ids(*reopened->snapshot()), (std::vector<std::string>{"0000000C", "0000000E"}));
  EXPECT_EQ(reopened->snapshot()->messages.back().uid, 6u);
}

}  // namespace
}  // namespace quelma::spool
