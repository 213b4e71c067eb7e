// Download files stored in the background: a file's ids are pending in the ledger before it
// is published and stand once it is; the sorter hears only of a file whose ids stand.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "spool/download_store.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

using testing::ReadAll;

TEST(DownloadStore, AFileIsHandedOnOnlyWhenPublishedWithItsIdsStanding) {
  const struct Case {
    const char* name;
    const char* blocked;  // a directory where a file must go
    bool started;
    bool published;
    const char* failedFile;  // relative to the program directory
  } cases[] = {
      {"published", nullptr, true, true, ""},
      {"the ledger cannot be written", "KEY.uidl", false, false, "KEY.uidl"},
      {"the file cannot be published", "KEY-3.popfile", true, false, "KEY-3.popfile.part"},
  };
  for (const auto& [c, background] : {std::pair{cases[0], false}, {cases[1], false}, {cases[2], false},
                                       {cases[0], true}, {cases[1], true}, {cases[2], true}}) {
    SCOPED_TRACE(std::string(c.name) + (background ? ", settled on the publishing thread" : ""));
    testing::TempDir dir;
    if (c.blocked) {
      ASSERT_TRUE(platform::MakeDirectory(dir.file(c.blocked)));
      testing::WriteAll(dir.file(c.blocked) + "/x", "x");  // not empty: nothing renames over it
    }
    UidLedger ledger(dir.path(), "KEY");
    ASSERT_TRUE(c.blocked || ledger.load());
    std::vector<std::string> handedOn;
    DownloadStore store(&ledger, [&](const std::string& path) { handedOn.push_back(path); });
    if (background) store.settleInBackground();
    auto file = DownloadFile::Create(dir.path(), "KEY", 3);
    ASSERT_TRUE(file);
    const std::string whole = "Subject: a\r\n\r\nb\r\n.\r\n";
    ASSERT_TRUE(file->write(whole + "Subject: cut"));
    if (background) {  // the ledger is written on the publishing thread: wait() tells of it
      EXPECT_TRUE(store.storeMarked(std::move(*file), 3, {{"id-a", "mark"}}, whole.size()));
      EXPECT_EQ(store.wait(), c.published);
    } else {
      EXPECT_EQ(store.store(std::move(*file), 3, {"id-a"}, whole.size()), c.started);
      EXPECT_EQ(store.wait(), c.published || !c.started);
    }
    EXPECT_FALSE(store.busy());
    EXPECT_EQ(ledger.contains("id-a"), c.published);
    EXPECT_EQ(handedOn, c.published ? std::vector<std::string>{dir.file("KEY-3.popfile")} : std::vector<std::string>{});
    if (c.published) {
      EXPECT_EQ(ReadAll(dir.file("KEY-3.popfile")), whole) << "the messages that came whole";
    }
    EXPECT_FALSE(platform::FileExists(dir.file("KEY-3.popfile.part"))) << "nothing half-written is left";
    EXPECT_EQ(store.failedFile(), c.published ? "" : dir.file(c.failedFile));
    EXPECT_EQ(store.reason().empty(), c.published);
  }
}

// Settled in the background, files go on their way without waiting for each other: they are
// published and handed on in the order given; after one that fails none is published, and
// their messages stay unrecorded (fetched again), nothing half-written left.
TEST(DownloadStore, FilesOnTheirWayAtOnceKeepTheirOrder) {
  for (const int blocked : {0, 2}) {
    SCOPED_TRACE(blocked ? "file 2 cannot be published" : "all published");
    testing::TempDir dir;
    if (blocked) {
      ASSERT_TRUE(platform::MakeDirectory(dir.file("KEY-2.popfile")));
      testing::WriteAll(dir.file("KEY-2.popfile/x"), "x");
    }
    UidLedger ledger(dir.path(), "KEY");
    ASSERT_TRUE(ledger.load());
    std::vector<std::string> handedOn;  // told on the publishing threads, one after the other
    DownloadStore store(&ledger, [&](const std::string& path) { handedOn.push_back(path); });
    store.settleInBackground();
    const int files = 6;
    for (int n = 1; n <= files; ++n) {
      auto file = DownloadFile::Create(dir.path(), "KEY", n);
      ASSERT_TRUE(file && file->write("Subject: " + std::to_string(n) + "\r\n\r\n.\r\n"));
      store.storeMarked(std::move(*file), n, {{"id-" + std::to_string(n), "mark"}});
    }
    EXPECT_EQ(store.wait(), blocked == 0);
    const int published = blocked ? blocked - 1 : files;
    EXPECT_EQ(store.published(), static_cast<std::size_t>(published));
    std::vector<std::string> expected;
    for (int n = 1; n <= published; ++n) expected.push_back(dir.file("KEY-" + std::to_string(n) + ".popfile"));
    EXPECT_EQ(handedOn, expected);
    for (int n = 1; n <= files; ++n) {
      EXPECT_EQ(ledger.contains("id-" + std::to_string(n)), n <= published) << n;
      EXPECT_FALSE(platform::FileExists(dir.file("KEY-" + std::to_string(n) + ".popfile.part"))) << n;
      if (n > published && n != blocked) {
        EXPECT_FALSE(platform::FileExists(dir.file("KEY-" + std::to_string(n) + ".popfile"))) << n;
      }
    }
    if (blocked) {  // the obstacle gone, the next session's ledger knows only what was published
      std::filesystem::remove_all(dir.file("KEY-2.popfile"));
    }
    UidLedger again(dir.path(), "KEY");
    ASSERT_TRUE(again.load());
    for (int n = 1; n <= files; ++n) EXPECT_EQ(again.contains("id-" + std::to_string(n)), n <= published) << n;
  }
}

// Without anyone to hand it to, a published file's ids stay pending until the ledger is settled.
TEST(DownloadStore, IdsStayPendingWithoutASorter) {
  testing::TempDir dir;
  UidLedger ledger(dir.path(), "KEY");
  DownloadStore store(&ledger);
  auto file = DownloadFile::Create(dir.path(), "KEY", 1);
  ASSERT_TRUE(file && file->write("x\r\n.\r\n"));
  ASSERT_TRUE(store.store(std::move(*file), 1, {"id-b"}));
  ASSERT_TRUE(store.wait());
  EXPECT_EQ(ReadAll(dir.file("KEY.uidl")), "P 1 id-b\n");
  EXPECT_TRUE(ledger.settle(nullptr));
  EXPECT_TRUE(ledger.contains("id-b"));
}

}  // namespace
}  // namespace quelma::spool
