// The mailbox index: its bytes on disk (round trips, torn and damaged pieces, other formats)
// and its sync with the mailbox file (UIDs kept, new ones, expunges, a new UIDVALIDITY).
#include "spool/mailbox_index.h"

#include <gtest/gtest.h>

namespace quelma::spool {
namespace {

MailboxIndex Sample() {
  MailboxIndex index;
  index.uidValidity = 1700000000;
  index.uidNext = 8;
  index.highestModseq = 12;
  index.syncedSize = 900;
  index.keywords = {"$Forwarded", "Работа"};
  index.messages = {{3, 0, 100, flag::kSeen, 0, 5, 1700000001, "0000000A"},
                    {5, 130, 200, flag::kFlagged | flag::kAnswered, 2, 12, 1700000002, "0000000B"},
                    {7, 360, 500, 0, 0, 9, 1700000003, "T0123456789abcdef0123456789abcdef"}};
  return index;
}

TEST(MailboxIndex, SnapshotAndRecordsReadBackAndATornOrDamagedPieceIsNoticed) {
  const MailboxIndex sample = Sample();
  const std::string snapshot = EncodeIndex(sample);
  auto decoded = DecodeIndex(snapshot);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->index, sample);
  EXPECT_FALSE(decoded->tornTail);

  const IndexedMessage late{9, 900, 40, 0, 0, 13, 1700000009, "0000000C"};
  const std::string records = EncodeAppended(late, 962) + EncodeFlags(3, flag::kSeen | flag::kDeleted, 1, 14) +
                              EncodeKeyword("$Junk") + EncodeExpunged(5, 15);
  MailboxIndex expected = sample;
  expected.messages.push_back(late);
  expected.uidNext = 10;
  expected.syncedSize = 962;
  expected.messages[0].flags = flag::kSeen | flag::kDeleted;
  expected.messages[0].keywords = 1;
  expected.messages[0].modseq = 14;
  expected.keywords.push_back("$Junk");
  expected.expunged.push_back(expected.messages[1]);  // out of sight, still in the file
  expected.messages.erase(expected.messages.begin() + 1);
  expected.highestModseq = 15;
  decoded = DecodeIndex(snapshot + records);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->index, expected);
  EXPECT_EQ(decoded->records, 4u);

  // A record cut anywhere is left out with what follows; the ones before it stand.
  const std::size_t first = EncodeAppended(late, 962).size();
  for (std::size_t cut = 1; cut < first; ++cut) {
    decoded = DecodeIndex(snapshot + records.substr(0, cut));
    ASSERT_TRUE(decoded.has_value()) << cut;
    EXPECT_EQ(decoded->index, sample) << cut;
    EXPECT_TRUE(decoded->tornTail) << cut;
  }
  // Any byte of the snapshot changed, or the snapshot cut: not an index.
  for (std::size_t at = 0; at < snapshot.size(); ++at) {
    std::string damaged = snapshot;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    EXPECT_FALSE(DecodeIndex(damaged).has_value()) << at;
    EXPECT_FALSE(DecodeIndex(snapshot.substr(0, at)).has_value()) << at;
  }
  // A later format is rebuilt from the mailbox, not misread.
  std::string newer = snapshot;
  newer[4] = 2;
  EXPECT_FALSE(DecodeIndex(newer).has_value());
}

TEST(MailboxIndex, RecordsThatContradictTheIndexEndTheReplay) {
  const std::string snapshot = EncodeIndex(Sample());
  const struct {
    const char* name;
    std::string record;
  } cases[] = {
      {"a UID below UIDNEXT", EncodeAppended({7, 900, 1, 0, 0, 1, 0, "x"}, 901)},
      {"a message before the last one in the file", EncodeAppended({9, 100, 1, 0, 0, 1, 0, "x"}, 901)},
      {"an empty keyword", EncodeKeyword("")},
  };
  for (const auto& c : cases) {
    const auto decoded = DecodeIndex(snapshot + c.record + EncodeExpunged(3, 20));
    ASSERT_TRUE(decoded.has_value()) << c.name;
    EXPECT_EQ(decoded->index, Sample()) << c.name;
    EXPECT_TRUE(decoded->tornTail) << c.name;
  }
}

std::vector<ScannedMessage> Scan(std::initializer_list<std::pair<const char*, std::uint64_t>> ids) {
  std::vector<ScannedMessage> out;
  std::uint64_t at = 0;
  for (const auto& [id, size] : ids) {
    out.push_back({at, size, id});
    at += size + 24;
  }
  return out;
}

TEST(MailboxIndex, SyncKeepsWhatItCanAndOtherwiseBeginsANewUidValidity) {
  const MailboxIndex old = Sample();  // A (uid 3, seen), B (5, flagged), T (7)
  const std::string t = old.messages[2].id;
  const struct {
    const char* name;
    std::vector<ScannedMessage> scanned;
    bool newValidity;
    std::vector<std::uint32_t> uids;
    std::vector<std::uint32_t> flags;
    std::size_t kept, added, expunged;
  } cases[] = {
      {"unchanged", Scan({{"0000000A", 100}, {"0000000B", 200}, {t.c_str(), 500}}), false, {3, 5, 7},
       {flag::kSeen, flag::kFlagged | flag::kAnswered, 0}, 3, 0, 0},
      {"appended by an older build", Scan({{"0000000A", 100}, {"0000000B", 200}, {t.c_str(), 500}, {"0000000D", 9}}),
       false, {3, 5, 7, 8}, {flag::kSeen, flag::kFlagged | flag::kAnswered, 0, 0}, 3, 1, 0},
      {"one taken out by a POP3 QUIT of an older build", Scan({{"0000000A", 100}, {t.c_str(), 500}}), false, {3, 7},
       {flag::kSeen, 0}, 2, 0, 1},
      {"emptied", Scan({}), false, {}, {}, 0, 0, 3},
      {"same id, other size: another message", Scan({{"0000000A", 101}, {"0000000B", 200}}), true, {1, 2},
       {0, flag::kFlagged | flag::kAnswered}, 1, 1, 2},
      {"restored mail before the kept", Scan({{"00000001", 7}, {"0000000A", 100}, {"0000000B", 200}}), true, {1, 2, 3},
       {0, flag::kSeen, flag::kFlagged | flag::kAnswered}, 2, 1, 1},
      {"reordered by hand", Scan({{"0000000B", 200}, {"0000000A", 100}}), true, {1, 2},
       {flag::kFlagged | flag::kAnswered, flag::kSeen}, 2, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t size = c.scanned.empty() ? 0 : c.scanned.back().offset + c.scanned.back().size + 24;
    const IndexSync sync = SyncIndex(old, c.scanned, size, 1800000000, old.uidValidity);
    EXPECT_EQ(sync.uidValidityChanged, c.newValidity);
    EXPECT_EQ(sync.index.uidValidity != old.uidValidity, c.newValidity);
    std::vector<std::uint32_t> uids, flags;
    for (const auto& m : sync.index.messages) {
      uids.push_back(m.uid);
      flags.push_back(m.flags);
    }
    EXPECT_EQ(uids, c.uids);
    EXPECT_EQ(flags, c.flags) << "flags follow their messages' ids";
    EXPECT_EQ(sync.kept, c.kept);
    EXPECT_EQ(sync.added, c.added);
    EXPECT_EQ(sync.expunged, c.expunged);
    EXPECT_EQ(sync.index.syncedSize, size);
    EXPECT_GE(sync.index.uidNext, c.newValidity ? 1u : old.uidNext) << "UIDs are never given twice";
    if (!c.newValidity && (c.added || c.expunged)) {
      EXPECT_GT(sync.index.highestModseq, old.highestModseq);
    }
    const auto again = DecodeIndex(EncodeIndex(sync.index));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->index, sync.index);
  }
  const IndexSync fresh = SyncIndex(std::nullopt, Scan({{"0000000A", 100}, {"0000000B", 5}}), 177, 1800000000, 99);
  EXPECT_EQ(fresh.index.uidValidity, 99u);
  EXPECT_EQ(fresh.index.uidNext, 3u);
  EXPECT_FALSE(fresh.uidValidityChanged);
  EXPECT_EQ(fresh.index.messages[1].arrival, 1800000000);
}

// UIDs follow the file across both lists: an expunged message placed against its UID's order
// (the fuzzer's find: it read, but could not be written back) makes no index.
TEST(MailboxIndex, UidOrderIsFileOrderAcrossTheExpungedOnes) {
  MailboxIndex index = Sample();  // 3 @0, 5 @130, 7 @360
  index.expunged.push_back(index.messages[1]);
  index.messages.erase(index.messages.begin() + 1);
  EXPECT_TRUE(DecodeIndex(EncodeIndex(index)).has_value());
  index.expunged[0].offset = 900;  // UID 5 after UID 7 in the file
  EXPECT_FALSE(DecodeIndex(EncodeIndex(index)).has_value());
  index.expunged[0].offset = 360;  // where UID 7 begins
  EXPECT_FALSE(DecodeIndex(EncodeIndex(index)).has_value());
}

TEST(MailboxIndex, AnExpungedMessageStaysOutOfSightWhileTheFileStillHoldsIt) {
  MailboxIndex old = Sample();  // A (3), B (5), T (7); B expunged, not yet compacted away
  old.expunged.push_back(old.messages[1]);
  old.messages.erase(old.messages.begin() + 1);
  const std::string t = old.messages[1].id;
  const struct {
    const char* name;
    std::vector<ScannedMessage> scanned;
    std::vector<std::uint32_t> uids;
    std::size_t expungedInFile, added;
    bool newValidity;
  } cases[] = {
      {"still there", Scan({{"0000000A", 100}, {"0000000B", 200}, {t.c_str(), 500}}), {3, 7}, 1, 0, false},
      {"compacted away", Scan({{"0000000A", 100}, {t.c_str(), 500}}), {3, 7}, 0, 0, false},
      {"still there, mail appended", Scan({{"0000000A", 100}, {"0000000B", 200}, {t.c_str(), 500}, {"0000000E", 3}}),
       {3, 7, 8}, 1, 1, false},
      {"still there, the rest reordered", Scan({{t.c_str(), 500}, {"0000000B", 200}, {"0000000A", 100}}), {1, 3}, 1, 0,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t size = c.scanned.back().offset + c.scanned.back().size + 24;
    const IndexSync sync = SyncIndex(old, c.scanned, size, 1800000000, 5);
    std::vector<std::uint32_t> uids;
    for (const auto& m : sync.index.messages) uids.push_back(m.uid);
    EXPECT_EQ(uids, c.uids);
    EXPECT_EQ(sync.index.expunged.size(), c.expungedInFile);
    EXPECT_EQ(sync.added, c.added);
    EXPECT_EQ(sync.expunged, 0u) << "it was expunged before, not now";
    EXPECT_EQ(sync.uidValidityChanged, c.newValidity);
    EXPECT_EQ(MessagesInFile(sync.index).size(), c.scanned.size());
    const auto again = DecodeIndex(EncodeIndex(sync.index));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->index, sync.index);
  }
}

}  // namespace
}  // namespace quelma::spool
