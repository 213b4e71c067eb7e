// The sorting thread: files handed over while a download goes on are sorted in order, the
// messages counted across them; after a file that cannot be delivered, it and the later ones wait.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "sorting/sorting_thread.h"
#include "spool/download_files.h"
#include "support/recorded_log.h"
#include "support/spool_directories.h"
#include "support/temp_dir.h"

namespace quelma::sorting {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

TEST(SortingThread, SortsTheFilesHandedOverInOrder) {
  const struct Case {
    const char* name;
    bool blocked;  // ivan's maildrop cannot be written
    SortResult result;
    std::size_t filesLeft;
  } cases[] = {
      {"delivered", false, SortResult::kSorted, 0},
      {"stopped", true, SortResult::kStopped, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct : testing::RecordedLog, testing::SpoolDirectories {
    } r;
    SorterFile sorter{SorterFilePath(r.dir.path())};
    r.config.PostMaster = "postmaster";
    r.config.users = {{"postmaster", "", ""}, {"ivan", "", ""}};
    r.config.accounts = {{"pop.test", "login", "secret", 110, "ivan", 0, {}, {}, {}, {}}};
    const std::string key = spool::AccountKey("pop.test", "login");
    if (c.blocked) {
      ASSERT_TRUE(platform::MakeDirectory(r.config.MailDropDir + "ivan"));
    }
    SortingThread thread({r.config, sorter, r.log, r.dir.path()});
    for (int n = 1; n <= 3; ++n) {
      const std::string path = r.dir.file(key + "-" + std::to_string(n) + ".popfile");
      WriteAll(path, "Subject: " + std::to_string(n) + "a\r\n\r\nx\r\n.\r\nSubject: " + std::to_string(n) + "b\r\n\r\ny\r\n.\r\n");
      thread.add({path, key});
    }
    EXPECT_EQ(thread.finish(), c.result);
    EXPECT_EQ(platform::ListDirectory(r.dir.path(), "*.popfile").size(), c.filesLeft);
    if (c.blocked) continue;
    const std::string drop = ReadAll(r.config.MailDropDir + "ivan");
    std::size_t at = 0;
    for (const char* subject : {"1a", "1b", "2a", "2b", "3a", "3b"}) {
      const std::size_t found = drop.find(std::string("Subject: ") + subject + "\r\n");
      ASSERT_NE(found, std::string::npos) << subject;
      EXPECT_GE(found, at) << subject << " in order";
      at = found;
    }
    EXPECT_TRUE(r.logged("POP3CLIENT> Сообщение #6 для ivan\r\n")) << "counted across the files";
  }
}

}  // namespace
}  // namespace quelma::sorting
