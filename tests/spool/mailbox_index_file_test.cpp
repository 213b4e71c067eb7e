// The index file kept in step with its mailbox: built at the first sync, new mail recorded
// after it, and a mailbox changed behind the program's back (an older build's QUIT, a cut
// file, a damaged index) synced without losing a message.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/paths.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

std::string Sep(std::uint32_t id) { return FormatMaildropSeparator(id) + "\r\n"; }

std::vector<std::uint32_t> Uids(const MailboxIndex& index) {
  std::vector<std::uint32_t> uids;
  for (const auto& m : index.messages) uids.push_back(m.uid);
  return uids;
}

TEST(MailboxIndexFile, TheIndexFollowsItsMailboxWhateverChangedIt) {
  testing::TempDir dir;
  const std::string drop = dir.file("ivan");
  const std::string index = InboxIndexPath(drop);
  EXPECT_EQ(index, dir.file("ivan.folders") + platform::kPathSeparator + ".INBOX.index");
  const std::string one = Sep(0xA) + "Subject: 1\r\n\r\none\r\n";
  const std::string two = Sep(0xB) + "Subject: 2\r\n\r\ntwo\r\n";
  const std::string three = Sep(0xC) + "Subject: 3\r\n\r\nthree\r\n";

  auto synced = SyncMailboxIndex(drop, index, 1000, 77);  // no maildrop yet
  ASSERT_TRUE(synced.stored);
  EXPECT_TRUE(synced.rebuilt);
  EXPECT_FALSE(synced.damaged);
  EXPECT_EQ(synced.index.uidValidity, 77u);
  EXPECT_TRUE(synced.index.messages.empty());

  WriteAll(drop, one + two);  // delivered
  synced = SyncMailboxIndex(drop, index, 1001, 78);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(synced.added, 2u);
  EXPECT_EQ(synced.index.messages[1].arrival, 1001);
  auto stored = DecodeIndex(ReadAll(index));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->records, 2u) << "new mail is recorded after the index, not written whole";
  EXPECT_EQ(stored->index, synced.index);

  const std::string before = ReadAll(index);
  synced = SyncMailboxIndex(drop, index, 1002, 79);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(ReadAll(index), before) << "nothing changed, nothing written";

  WriteAll(drop, two + three);  // an older build's QUIT took the first, then mail came
  synced = SyncMailboxIndex(drop, index, 1003, 80);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(synced.index.uidValidity, 77u);
  EXPECT_EQ(synced.expunged, 1u);
  EXPECT_EQ(DecodeIndex(ReadAll(index))->index, synced.index);

  WriteAll(drop, two + three.substr(0, three.size() - 4));  // cut in the last message
  synced = SyncMailboxIndex(drop, index, 1004, 81);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{2, 4})) << "what is left of it is another message";
  EXPECT_EQ(synced.index.uidValidity, 77u);

  WriteAll(index, "not an index at all");
  synced = SyncMailboxIndex(drop, index, 1005, 82);
  ASSERT_TRUE(synced.stored);
  EXPECT_TRUE(synced.damaged) << "its flags are lost, and the caller says so";
  EXPECT_EQ(synced.index.uidValidity, 82u);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(DecodeIndex(ReadAll(index))->index, synced.index);

  // Text added to the last message without a separator: the last message is another one now.
  WriteAll(drop, ReadAll(drop) + "ee\r\n");
  synced = SyncMailboxIndex(drop, index, 1006, 83);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(synced.index.uidValidity, 82u);

  // Grown at the end: only the new part is read, and the index is what a whole scan gives.
  const std::string four = Sep(0xE) + "Subject: 4\r\n\r\nfour\r\n";
  WriteAll(drop, ReadAll(drop) + four);
  synced = SyncMailboxIndex(drop, index, 1007, 84);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(Uids(synced.index), (std::vector<std::uint32_t>{1, 3, 4}));
  EXPECT_EQ(synced.index.messages.back().size, four.size() - Sep(0xE).size());
  EXPECT_EQ(DecodeIndex(ReadAll(index))->records, 1u);
  std::filesystem::remove(index);
  const auto whole = SyncMailboxIndex(drop, index, 1007, synced.index.uidValidity);
  ASSERT_TRUE(whole.stored);
  ASSERT_EQ(whole.index.messages.size(), synced.index.messages.size());
  for (std::size_t i = 0; i < synced.index.messages.size(); ++i) {
    EXPECT_EQ(whole.index.messages[i].offset, synced.index.messages[i].offset);
    EXPECT_EQ(whole.index.messages[i].size, synced.index.messages[i].size);
    EXPECT_EQ(whole.index.messages[i].id, synced.index.messages[i].id);
  }

  // A separator glued to a line without its end is no separator: the whole file is read.
  WriteAll(drop, ReadAll(drop) + "no line end");
  ASSERT_TRUE(SyncMailboxIndex(drop, index, 1008, 85).stored);
  WriteAll(drop, ReadAll(drop) + Sep(0xF) + "x\r\n");
  synced = SyncMailboxIndex(drop, index, 1009, 86);
  ASSERT_TRUE(synced.stored);
  EXPECT_EQ(synced.index.messages.size(), 3u);
}

}  // namespace
}  // namespace quelma::spool
