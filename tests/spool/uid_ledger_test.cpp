// The UIDL ledger across crashes: a pending id stands only when its download file was
// published; ids the provider no longer lists go.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quelma::spool
