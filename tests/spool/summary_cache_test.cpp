// Summaries asked of a mailbox: read from the message once, kept beside the index for later
// sessions and starts, and never trusted beyond what they belong to (a torn record, another
// UIDVALIDITY, a message of another size); a compaction drops those of messages gone.
#include "spool/summary_cache.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "spool/mailbox.h"
#include "spool/mailbox_index_file.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "support/file_faults.h"
#include "support/spool_directories.h"

namespace quelma::spool {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

std::string Message(std::uint32_t id, const std::string& subject) {
  return FormatMaildropSeparator(id) + "\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

std::string SubjectOf(Mailbox& box, std::uint32_t uid) {
  const auto summary = box.summary(uid);
  if (!summary) return "<none>";
  return summary->envelope && summary->envelope->subject ? *summary->envelope->subject : "<no subject>";
}

struct Cache : testing::SpoolDirectories {
  std::string drop() const { return config.MailDropDir + "ivan"; }
  std::string cacheFile() const { return SummaryCachePath(MailboxIndexPath(drop())); }
  // The program starts again and the mailbox is opened anew.
  std::shared_ptr<Mailbox> reopen() {
    restart();
    return Mailbox::Open(drop());
  }
};

TEST(SummaryCache, KeptAcrossStartsAndNeverTrustedBeyondWhatItBelongsTo) {
  const struct {
    const char* name;
    // Done between the first summary and a start of the program.
    std::function<void(Cache&)> meanwhile;
    std::string subjectAfter;  // of message 1
  } cases[] = {
      {"kept: the text is not read again (its subject changed in place shows it)",
       [](Cache& c) {
         std::string text = ReadAll(c.drop());
         text.replace(text.find("one"), 3, "ONE");
         WriteAll(c.drop(), text);
       },
       "one"},
      {"a torn last record: read again, and the file mended",
       [](Cache& c) { platform::TruncateFile(c.cacheFile(), platform::FileSize(c.cacheFile()).value() - 3); }, "one"},
      {"a damaged file header: started again", [](Cache& c) { WriteAll(c.cacheFile(), "QMSCx"); }, "one"},
      {"the cache removed", [](Cache& c) { platform::RemoveFile(c.cacheFile()); }, "one"},
      {"a new UIDVALIDITY (the index lost): nothing of the old one is used",
       [](Cache& c) {
         platform::RemoveFile(MailboxIndexPath(c.drop()));
         std::string text = ReadAll(c.drop());
         text.replace(text.find("one"), 3, "ONE");
         WriteAll(c.drop(), text);
       },
       "ONE"},
      {"the message grew: the summary of the old size is not used",
       [](Cache& c) {
         std::string text = ReadAll(c.drop());
         text.replace(text.find("one"), 3, "one more");
         WriteAll(c.drop(), text);
       },
       "one more"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Cache s;
    WriteAll(s.drop(), Message(0xA, "one"));
    auto box = Mailbox::Open(s.drop());
    EXPECT_EQ(SubjectOf(*box, 1), "one");
    EXPECT_EQ(SubjectOf(*box, 7), "<none>") << "no such UID";
    box.reset();
    Mailbox::ForgetIdle();
    c.meanwhile(s);
    box = s.reopen();
    const std::uint32_t first = box->index().messages.front().uid;
    EXPECT_EQ(SubjectOf(*box, first), c.subjectAfter);
    // A second message's summary goes after the first's, found after another start.
    ASSERT_EQ(AppendToMaildrop(s.drop(), FormatMaildropSeparator(0xB) + "\r\n", "Subject: two\r\n\r\n", false),
              AppendResult::kAppended);
    box.reset();
    box = s.reopen();
    EXPECT_EQ(SubjectOf(*box, box->index().messages.back().uid), "two");
    box.reset();
    box = s.reopen();
    EXPECT_EQ(SubjectOf(*box, first), c.subjectAfter);
  }
}

TEST(SummaryCache, ACompactionDropsTheSummariesOfMessagesGone) {
  Cache s;
  std::string text;
  for (std::uint32_t id = 1; id <= 200; ++id) text += Message(id, "s" + std::to_string(id));
  WriteAll(s.drop(), text);
  auto box = Mailbox::Open(s.drop());
  std::vector<std::uint32_t> gone;
  for (const IndexedMessage& m : box->index().messages) {
    ASSERT_NE(SubjectOf(*box, m.uid), "<none>");
    if (m.uid % 10 != 0) gone.push_back(m.uid);
  }
  const std::uint64_t before = platform::FileSize(s.cacheFile()).value();
  ASSERT_TRUE(box->expunge(gone));
  WaitForCompactions();
  EXPECT_LT(platform::FileSize(s.cacheFile()).value(), before / 5);
  box.reset();
  box = s.reopen();
  ASSERT_EQ(box->index().messages.size(), 20u);
  for (const IndexedMessage& m : box->index().messages) EXPECT_EQ(SubjectOf(*box, m.uid), "s" + std::to_string(m.uid));
}

TEST(SummaryCache, EveryFileStepFailingStillAnswers) {
  testing::FailEveryFileStep([](testing::FaultWindow& window) {
    Cache s;
    WriteAll(s.drop(), Message(0xA, "one") + Message(0xB, "two"));
    auto box = Mailbox::Open(s.drop());
    EXPECT_EQ(SubjectOf(*box, 1), "one");
    window.open();
    EXPECT_EQ(SubjectOf(*box, 2), "two");
    EXPECT_EQ(SubjectOf(*box, 1), "one");
    window.close();
    box.reset();
    box = s.reopen();
    EXPECT_EQ(SubjectOf(*box, 2), "two");
    EXPECT_EQ(SubjectOf(*box, 1), "one");
  });
}

}  // namespace
}  // namespace quelma::spool
