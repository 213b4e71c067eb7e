// The UIDL ledger across crashes: a pending id stands only when its download file was
// published; ids the provider no longer lists go.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/files.h"
#include "spool/uid_ledger.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

using testing::ReadAll;
using testing::WriteAll;

TEST(UidLedger, PendingIdsStandOnlyWithTheirPublishedFile) {
  const struct {
    const char* name;
    std::string ledger;
    std::vector<std::string> files;
    std::string settled;
  } cases[] = {
      {"published", "U a\nP 7 b\n", {"KEY-7.popfile"}, "U a\nU b\n"},
      {"never published", "U a\nP 7 b\n", {"KEY-7.popfile.part"}, "U a\n"},
      {"another account's file", "P 7 b\n", {"OTHER-7.popfile"}, "<missing>"},
      {"torn last line", "U a\nP 7 ", {}, "U a\n"},
      {"not an id", "U a b\nU \x01\nP 1 c\n", {"KEY-1.popfile"}, "U c\n"},
      {"settled by an appended line, its file sorted since", "P 7 b\nU b\n", {}, "U b\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    WriteAll(dir.file("KEY.uidl"), c.ledger);
    for (const auto& f : c.files) WriteAll(dir.file(f), "x");
    UidLedger ledger(dir.path(), "KEY");
    EXPECT_TRUE(ledger.load());
    EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), c.settled);
  }
}

TEST(UidLedger, StoresAndForgetsWhatTheProviderNoLongerLists) {
  testing::TempDir dir;
  UidLedger ledger(dir.path(), "KEY");
  ASSERT_TRUE(ledger.load());
  ASSERT_TRUE(ledger.willStore({"a", "b"}, 1));
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "P 1 a\nP 1 b\n") << "pending, on disk before the file is published";
  WriteAll(dir.file("KEY-1.popfile"), "x");
  const std::set<std::string> listed = {"b", "c"};
  ASSERT_TRUE(ledger.settle(&listed));
  EXPECT_TRUE(ledger.contains("b"));
  EXPECT_FALSE(ledger.contains("a"));
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "U b\n");
}

// While a download runs, each published file's ids are appended as they settle; an id whose
// file never came has the ledger written anew, so its pending line cannot meet a later file
// of the same number.
TEST(UidLedger, SettlingAppendsUnlessAFileNeverCame) {
  testing::TempDir dir;
  UidLedger ledger(dir.path(), "KEY", 20000);
  ASSERT_TRUE(ledger.load());
  ASSERT_TRUE(ledger.willStore({"a"}, 1));
  WriteAll(dir.file("KEY-1.popfile"), "x");
  ASSERT_TRUE(ledger.settle(nullptr));
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "P 1 a\nU a\nD 20000 a\n");
  ASSERT_TRUE(ledger.willStore({"b"}, 2));  // file 2 is never published
  ASSERT_TRUE(ledger.settle(nullptr));
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "U a\nD 20000 a\n");
  EXPECT_FALSE(ledger.contains("b"));
  // Read back after file 1 was sorted away: "a" stands.
  std::remove(dir.file("KEY-1.popfile").c_str());
  ASSERT_TRUE(ledger.willStore({"c"}, 3));
  WriteAll(dir.file("KEY-3.popfile"), "x");
  ASSERT_TRUE(ledger.settle(nullptr));
  std::remove(dir.file("KEY-3.popfile").c_str());
  UidLedger again(dir.path(), "KEY", 20001);
  ASSERT_TRUE(again.load());
  EXPECT_TRUE(again.contains("a"));
  EXPECT_TRUE(again.contains("c"));
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "U a\nD 20000 a\nU c\nD 20000 c\n");
}

// An IMAP folder's ledger: settled by the account's download files wherever it is settled
// from, its marks kept with its ids, and a new UIDVALIDITY carrying the ids found again.
TEST(UidLedger, FolderLedgerKeepsValidityAndMarksAcrossARenumbering) {
  testing::TempDir dir;
  UidLedger ledger(dir.path(), "KEY", "Work", 20000);
  ASSERT_TRUE(ledger.load());
  ASSERT_TRUE(ledger.setValidity("77"));
  ASSERT_TRUE(ledger.willStoreMarked(std::map<std::string, std::string>{{"5", "100.aa"}, {"6", "200.bb"}}, 3));
  ASSERT_TRUE(ledger.willStoreMarked(std::map<std::string, std::string>{{"9", "300.cc"}}, 4));
  WriteAll(dir.file("KEY-3.popfile"), "x");
  SettleLedgers(dir.path());  // as the sorter does before it takes KEY-3
  const std::string path = dir.file("KEY~" + FolderKey("Work") + ".uidl");
  EXPECT_EQ(ReadAll(path), "V 77\nU 5\nM 5 100.aa\nU 6\nM 6 200.bb\n") << "days are counted from the next load";
  UidLedger later(dir.path(), "KEY", "Work", 20005);
  ASSERT_TRUE(later.load());
  EXPECT_EQ(later.validity(), "77");
  EXPECT_EQ(later.mark("6"), "200.bb");
  ASSERT_TRUE(later.renumber("78", {{"1", "6"}, {"2", "nothing"}}));
  EXPECT_EQ(ReadAll(path), "V 78\nU 1\nD 20005 1\nM 1 200.bb\nU 2\nD 20005 2\n");
  ASSERT_TRUE(later.forget({"1", "2"}));
  EXPECT_EQ(ReadAll(path), "V 78\n") << "the validity stays for the next session";
}

}  // namespace
}  // namespace quelma::spool
