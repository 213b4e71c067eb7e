// Deliveries all or nothing: what a crash leaves (the journal as it stood at that instant) is
// undone before the commit and finished after it; an unfinished delivery is undone.
#include <gtest/gtest.h>

#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "spool/delivery.h"
#include "spool/delivery_journals.h"
#include "spool/maildrop.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"
#include "support/spool_directories.h"

namespace quelma::spool {
namespace {

using testing::ReadAll;
using testing::WriteAll;

struct Spool : testing::SpoolDirectories {
  std::string drop(const char* user) const { return config.MailDropDir + user; }
  // Where a crash of an older build left its journal; each delivery now writes its own.
  std::string journal() const { return config.MailDropDir + "delivery.journal"; }
  std::vector<std::string> journals() const { return testing::UnfinishedJournals(config.MailDropDir); }
};

// The state a crash leaves: ivan had "old\r\n" and got a copy, petr's maildrop is new, a
// relayed copy is staged, and a file of downloaded mail is being consumed.
void CrashedState(const Spool& s, const std::string& journal) {
  WriteAll(s.drop("ivan"), "old\r\nnew copy\r\n");
  WriteAll(s.drop("petr"), "new copy\r\n");
  WriteAll(s.config.QueueDir + "staged.tmp", "MAIL FROM:<a@b>\r\n");
  WriteAll(s.dir.file("source.popfile"), "x\r\n.\r\n");
  WriteAll(s.journal(), journal);
}

// The journal with its paths: "%queue/" the queue directory, "%ivan" and "%petr" maildrops,
// any other "%" the program directory.
std::string Expanded(const Spool& s, std::string journal) {
  for (std::size_t at; (at = journal.find("%queue/")) != std::string::npos;) journal.replace(at, 7, s.config.QueueDir);
  for (std::size_t at; (at = journal.find('%')) != std::string::npos;) {
    const bool drop = journal.compare(at + 1, 4, "ivan") == 0 || journal.compare(at + 1, 4, "petr") == 0;
    journal.replace(at, 1, drop ? s.config.MailDropDir : s.dir.path());
  }
  return journal;
}

TEST(Delivery, RecoveryUndoesBeforeTheCommitAndFinishesAfterIt) {
  const std::string appends = "A\t5\t%ivan\nA\t-\t%petr\n";
  const struct {
    const char* name;
    std::string journal;
    std::string ivan, petr, queued, source;
  } cases[] = {
      {"before the commit", "QUELMA-DELIVERY intent\n" + appends + "S\t10\t%queue/staged.tmp\n", "old\r\n",
       "<missing>", "<missing>", "x\r\n.\r\n"},
      {"after the commit",
       "QUELMA-DELIVERY commit\n" + appends + "P\t%queue/staged.tmp\t%queue/0000000A\nC\t%source.popfile\n",
       "old\r\nnew copy\r\n", "new copy\r\n", "MAIL FROM:<a@b>\r\n", "<missing>"},
      // One append alone that said its size: whole, it stays (its answer may never have gone:
      // a duplicate, never a loss); short of it, it is cut back.
      {"one append, whole", "QUELMA-DELIVERY intent\nA\t5\t%ivan\t15\n", "old\r\nnew copy\r\n", "new copy\r\n",
       "<missing>", "x\r\n.\r\n"},
      {"one append, short of its size", "QUELMA-DELIVERY intent\nA\t5\t%ivan\t16\n", "old\r\n", "new copy\r\n",
       "<missing>", "x\r\n.\r\n"},
      {"a new maildrop, whole", "QUELMA-DELIVERY intent\nA\t-\t%petr\t10\n", "old\r\nnew copy\r\n", "new copy\r\n",
       "<missing>", "x\r\n.\r\n"},
      {"an empty journal: a delivery that ended", "", "old\r\nnew copy\r\n", "new copy\r\n", "<missing>",
       "x\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Spool s;
    CrashedState(s, Expanded(s, c.journal));
    std::string problem;
    EXPECT_TRUE(RecoverDeliveries(s.config, problem));
    EXPECT_EQ(problem, "");
    EXPECT_EQ(ReadAll(s.drop("ivan")), c.ivan);
    EXPECT_EQ(ReadAll(s.drop("petr")), c.petr);
    EXPECT_EQ(ReadAll(s.config.QueueDir + "0000000A"), c.queued);
    EXPECT_EQ(ReadAll(s.dir.file("source.popfile")), c.source);
    EXPECT_EQ(platform::FileExists(s.config.QueueDir + "staged.tmp"), c.journal.find("staged") == std::string::npos);
    EXPECT_FALSE(platform::FileExists(s.journal()));
  }
}

TEST(Delivery, CommitPublishesAndConsumesAndAnUnfinishedOneIsUndone) {
  Spool s;
  WriteAll(s.drop("ivan"), "old\r\n");
  WriteAll(s.dir.file("source"), "x");
  WriteAll(s.config.QueueDir + "staged.tmp", "queued\r\n");
  {
    Delivery d(s.config);
    ASSERT_TRUE(d.willAppend({s.drop("ivan"), s.drop("petr")}));
    EXPECT_TRUE(platform::FileExists(d.journalPath())) << "the intent is on disk before any change";
    ASSERT_EQ(AppendToMaildrop(s.drop("ivan"), NewSeparatorLine(), "a\r\n", false), AppendResult::kAppended);
    ASSERT_EQ(AppendToMaildrop(s.drop("petr"), NewSeparatorLine(), "a\r\n", false), AppendResult::kAppended);
    d.willPublish(s.config.QueueDir + "staged.tmp", 0x10);
    d.consumes(s.dir.file("source"));
    const auto names = d.commit();
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, std::vector<std::string>{"00000010"});
  }
  EXPECT_EQ(ReadAll(s.config.QueueDir + "00000010"), "queued\r\n");
  EXPECT_FALSE(platform::FileExists(s.dir.file("source")));
  EXPECT_EQ(s.journals(), std::vector<std::string>{});
  EXPECT_NE(ReadAll(s.drop("petr")), "<missing>");
  {
    Delivery d(s.config);
    ASSERT_TRUE(d.willAppend({s.drop("ivan"), s.drop("olga")}));
    ASSERT_EQ(AppendToMaildrop(s.drop("ivan"), NewSeparatorLine(), "b\r\n", false), AppendResult::kAppended);
    ASSERT_EQ(AppendToMaildrop(s.drop("olga"), NewSeparatorLine(), "b\r\n", false), AppendResult::kAppended);
  }  // never committed
  EXPECT_EQ(ReadAll(s.drop("ivan")).find("b\r\n"), std::string::npos);
  EXPECT_EQ(ReadAll(s.drop("olga")), "<missing>");
  EXPECT_EQ(s.journals(), std::vector<std::string>{});
}

// Deliveries to different maildrops run at once; one to a maildrop that another holds waits
// for it when it holds nothing yet, and gives way (busy) when it holds others already.
TEST(Delivery, DeliveriesToOtherMaildropsRunAtOnceAndOverlappingOnesGiveWay) {
  Spool s;
  Delivery first(s.config);
  ASSERT_TRUE(first.willAppend({s.drop("ivan")}));
  Delivery other(s.config);
  EXPECT_TRUE(other.willAppend({s.drop("petr")})) << "another user's delivery does not wait";
  EXPECT_NE(other.journalPath(), first.journalPath());
  EXPECT_FALSE(other.willAppend({s.drop("ivan")}));
  EXPECT_TRUE(other.busy());
  EXPECT_EQ(other.maildrops(), (std::vector<std::string>{s.drop("ivan"), s.drop("petr")}));
  other.rollback();
  EXPECT_TRUE(first.commit().has_value());
  Delivery again(s.config);
  EXPECT_TRUE(again.willAppend(other.maildrops()));
  EXPECT_TRUE(again.commit().has_value());
  EXPECT_EQ(s.journals(), std::vector<std::string>{});
}

// A recovery step that fails: the journal stays with every file it names (the staged queue
// file too, which a start would otherwise clear away) and the problem is told; while an undo
// is left, no delivery appends to the maildrops it would cut back and no QUIT rewrites them,
// while other users' mail goes on; once the step works, the next delivery finishes the old
// one first.
TEST(Delivery, ARecoveryThatCannotFinishKeepsItsJournalAndHoldsNewDeliveries) {
  const std::string appends = "A\t5\t%ivan\nA\t-\t%petr\n";
  const std::string commit = "QUELMA-DELIVERY commit\n" + appends + "P\t%queue/smtps-0000000A.tmp\t%queue/0000000A\nC\t%source.popfile\n";
  const struct {
    const char* name;
    std::string journal;
    platform::FileStep failing;
    std::string ivan, petr, queued, source;
  } cases[] = {
      {"an undo whose cut fails", "QUELMA-DELIVERY intent\n" + appends + "S\t10\t%queue/smtps-0000000A.tmp\n",
       platform::FileStep::kTruncate, "old\r\n", "<missing>", "<missing>", "x\r\n.\r\n"},
      {"a commit whose queue file cannot be renamed", commit, platform::FileStep::kRename, "old\r\nnew copy\r\n",
       "new copy\r\n", "MAIL FROM:<a@b>\r\n", "<missing>"},
      {"a commit whose consumed file cannot be removed", commit, platform::FileStep::kRemove, "old\r\nnew copy\r\n",
       "new copy\r\n", "MAIL FROM:<a@b>\r\n", "<missing>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Spool s;
    WriteAll(s.drop("ivan"), "old\r\nnew copy\r\n");
    WriteAll(s.drop("petr"), "new copy\r\n");
    WriteAll(s.config.QueueDir + "smtps-0000000A.tmp", "MAIL FROM:<a@b>\r\n");
    WriteAll(s.dir.file("source.popfile"), "x\r\n.\r\n");
    const std::string journal = Expanded(s, c.journal);
    WriteAll(s.journal(), journal);
    {
      platform::FileFaultInjection faults;
      faults.failCall(c.failing, 1);
      std::string unfinished;
      EXPECT_TRUE(s.restart(&unfinished));
      EXPECT_NE(unfinished, "");
      EXPECT_EQ(ReadAll(s.journal()), journal);
      if (c.failing == platform::FileStep::kRename) {
        EXPECT_TRUE(platform::FileExists(s.config.QueueDir + "smtps-0000000A.tmp")) << "kept for the commit";
      }
      const bool undo = c.failing == platform::FileStep::kTruncate;
      EXPECT_EQ(MaildropAwaitsRecovery(s.drop("ivan")), undo);
      EXPECT_FALSE(MaildropAwaitsRecovery(s.drop("olga")));
      if (undo) {  // a compaction would move or remove the bytes the undo is to cut
        EXPECT_EQ(Mailbox::Open(s.drop("ivan"))->compact(std::chrono::milliseconds(0)), Mailbox::CompactResult::kBusy);
        EXPECT_EQ(ReadAll(s.drop("ivan")), "old\r\nnew copy\r\n");
      }
      // The disk goes on failing: every delivery tries to finish the old one first.
      faults.failCall(c.failing, 1);
      {
        Delivery held(s.config);
        faults.failCall(c.failing, 1);
        EXPECT_EQ(held.willAppend({s.drop("ivan")}), !undo) << "the undo would cut the new copy off";
        EXPECT_EQ(held.problem() != "", undo);
      }
      faults.failCall(c.failing, 1);
      Delivery others(s.config);
      faults.failCall(c.failing, 1);
      EXPECT_TRUE(others.willAppend({s.drop("olga")})) << "another user's mail goes on";
      EXPECT_TRUE(others.commit().has_value());
    }
    EXPECT_EQ(ReadAll(s.journal()), journal);
    {
      Delivery next(s.config);
      EXPECT_TRUE(next.willAppend({s.drop("olga")}));
      ASSERT_EQ(AppendToMaildrop(s.drop("olga"), NewSeparatorLine(), "n\r\n", false), AppendResult::kAppended);
      EXPECT_TRUE(next.commit().has_value());
    }
    EXPECT_EQ(ReadAll(s.drop("ivan")), c.ivan);
    EXPECT_EQ(ReadAll(s.drop("petr")), c.petr);
    EXPECT_EQ(ReadAll(s.config.QueueDir + "0000000A"), c.queued);
    EXPECT_EQ(ReadAll(s.dir.file("source.popfile")), c.source);
    EXPECT_NE(ReadAll(s.drop("olga")), "<missing>");
    EXPECT_EQ(s.journals(), std::vector<std::string>{});
    EXPECT_FALSE(MaildropAwaitsRecovery(s.drop("ivan")));
  }
}

// A delivery's journal is kept, emptied, for the next one; one whose directory went away (a
// program directory removed, a test's) holds up neither a compaction's sync nor a delivery.
TEST(Delivery, AKeptJournalThatWasTakenAwayHoldsUpNothing) {
  {
    Spool gone;
    Delivery d(gone.config);
    ASSERT_TRUE(d.willAppend({gone.drop("ivan")}, {5}));
    ASSERT_EQ(AppendToMaildrop(gone.drop("ivan"), "", "new\r\n", false), AppendResult::kAppended);
    ASSERT_TRUE(d.commit().has_value());
  }
  EXPECT_TRUE(SyncIdleJournals());
  Spool s;
  Delivery next(s.config);
  EXPECT_TRUE(next.willAppend({s.drop("ivan")}));
  EXPECT_TRUE(next.commit().has_value());
}

}  // namespace
}  // namespace quelma::spool

namespace quelma::spool {
namespace {

// Files a crash left half-written beside the names they were to take go at the next start;
// what stands in place stays.
TEST(Delivery, AStartRemovesWhatACrashLeftHalfWritten) {
  Spool s;
  s.config.users = {{"ivan", "", ""}};
  platform::MakeDirectory(s.drop("ivan.folders"));
  const struct {
    std::string path;
    bool stays;
  } files[] = {
      {s.config.MailDropDir + "delivery-0000000A.journal.tmp", false},
      {s.config.MailDropDir + "delivery.journal.tmp", false},
      {s.config.MailDropDir + "unique.ids.tmp", false},
      {s.config.MailDropDir + "pop3s0000000B.tmp", false},
      {s.drop("ivan.folders/.INBOX.index.tmp"), false},
      {s.drop("ivan.folders/.Projects.summary.tmp"), false},
      {s.drop("ivan"), true},
      {s.drop("ivan.folders/Projects"), true},
      {s.drop("ivan.folders/Projects.tmp"), true},  // a folder of that name
      // An upload's sent mark whose queue file went before the kill: nothing to finish.
      {s.config.QueueDir + "A000000C.sent", false},
      {s.config.QueueDir + "A000000D", true},
      {s.config.QueueDir + "A000000D.sent", true},  // the next session removes both
  };
  for (const auto& f : files) WriteAll(f.path, "");
  ASSERT_TRUE(s.restart());
  CompactLeftovers(s.config);
  for (const auto& f : files) EXPECT_EQ(platform::FileExists(f.path), f.stays) << f.path;
}

// What the start tells of an unclean stop: one line per kind of work found cut short, none
// after a clean stop; the marks of runs in progress are gone afterwards.
TEST(Delivery, TheStartSaysWhatAnUncleanStopLeft) {
  const struct {
    const char* name;
    std::vector<std::string> files;  // relative to the spool: "m/" the maildrops, "q/" the queue
    std::vector<std::string> lines;  // the beginning of each line said
  } cases[] = {
      {"a clean stop", {}, {}},
      {"an upload cut short", {"m/smtp_upload.runs"}, {"отправка провайдеру была прервана"}},
      {"a download cut short and a message half received",
       {"m/pop3_download.runs", "q/smtps1234.tmp"},
       {"удалены недописанные файлы приема (1)", "загрузка почты с провайдера была прервана"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Spool s;
    for (const std::string& f : c.files) {
      WriteAll((f[0] == 'm' ? s.config.MailDropDir : s.config.QueueDir) + f.substr(2), "x");
    }
    std::string unfinished;
    std::vector<std::string> recovered;
    ASSERT_TRUE(PrepareSpool(s.config, &unfinished, &recovered));
    platform::ProcessUniqueTicks().persistWith(std::nullopt, nullptr);
    ASSERT_EQ(recovered.size(), c.lines.size());
    for (std::size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(recovered[i].rfind(c.lines[i], 0), 0u) << recovered[i];
    EXPECT_FALSE(platform::FileExists(s.config.MailDropDir + "smtp_upload.runs"));
    EXPECT_FALSE(platform::FileExists(s.config.MailDropDir + "pop3_download.runs"));
  }
  Spool s;
  CrashedState(s, Expanded(s, "QUELMA-DELIVERY commit\nA\t5\t%ivan\nP\t%queue/staged.tmp\t%queue/0000000A\n"));
  std::vector<std::string> recovered;
  ASSERT_TRUE(PrepareSpool(s.config, nullptr, &recovered));
  platform::ProcessUniqueTicks().persistWith(std::nullopt, nullptr);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0], "доставка писем в почтовые ящики доделана по журналу (1)");
}

}  // namespace
}  // namespace quelma::spool
