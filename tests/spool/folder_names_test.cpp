// Folder names and their file names: what each name becomes, what is refused and why not, and
// that a file name leads back to its one folder.
#include "spool/folder_names.h"

#include "platform/files.h"
#include "spool/mailbox_index_file.h"
#include "spool/user_folders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

namespace quelma::spool {
namespace {

std::string U8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

TEST(FolderNames, EachNameHasOneSafeFileName) {
  const std::pair<std::string, std::string> cases[] = {
      {"Sent", "Sent"},
      {"Work/2026", "Work%2F2026"},
      {U8(u8"Входящие/Отчёты"), "%D0%92%D1%85%D0%BE%D0%B4%D1%8F%D1%89%D0%B8%D0%B5%2F%D0%9E%D1%82%D1%87%D1%91%D1%82%D1%8B"},
      {"100% done", "100%25 done"},
      {"a:b*c?d\"e<f>g|h\\i", "a%3Ab%2Ac%3Fd%22e%3Cf%3Eg%7Ch%5Ci"},
      {".hidden", "%2Ehidden"},
      {"ends.", "ends%2E"},
      {"ends ", "ends%20"},
      {"CON", "%43ON"},
      {"nul.txt", "%6Eul.txt"},
      {"Com1", "%43om1"},
      {"COM10", "COM10"},
      {"INBOX/Child", "INBOX%2FChild"},
      {"Inbox2", "Inbox2"},
  };
  for (const auto& [name, file] : cases) {
    EXPECT_EQ(FolderFileName(name), file) << name;
    EXPECT_EQ(FolderNameOfFile(file), name) << file;
  }
}

TEST(FolderNames, NamesThatCannotBeFoldersAreRefusedWithAReason) {
  for (const std::string& name : std::vector<std::string>{"", "/", "a//b", "/a", "a/", ".", "..", "a/../b", "a/./b", "INBOX", "inbox",
                                 "tab\there", "bell\a", "del\x7f", "\xc3", std::string(201, 'x')}) {
    std::string refusal;
    EXPECT_FALSE(FolderFileName(name, &refusal).has_value()) << name;
    EXPECT_FALSE(refusal.empty()) << name;
  }
  // A file that is no folder's: not escaped as a folder's would be, or not escaped at all.
  for (const std::string file : {"a%2", "a%zz", "%53ent", "a%2fb", ".INBOX.index", "CON", "INBOX", "ends."}) {
    EXPECT_FALSE(FolderNameOfFile(file).has_value()) << file;
  }
  EXPECT_TRUE(SameFolderFile("Work", "WORK")) << "one file where case does not count";
  EXPECT_FALSE(SameFolderFile("%D0%92", "%D0%B2")) << "В and в differ in their escapes' digits, not in case";
}

TEST(UserFolders, TheSpecialUseOnesAreMadeOnceAndANameFindsItsFolderWhateverItsCase) {
  testing::TempDir dir;
  const std::string inbox = dir.file("ivan");
  ASSERT_TRUE(platform::MakeDirectory(UserFolderOf(inbox)));
  testing::WriteAll(UserFolderOf(inbox) + "archive", "kept\r\n");  // made by hand, in lower case
  ASSERT_TRUE(MakeSpecialUseFolders(inbox));
  ASSERT_TRUE(MakeSpecialUseFolders(inbox)) << "a second time changes nothing";
  EXPECT_EQ(platform::ListDirectory(UserFolderOf(inbox), "*"),
            (std::vector<std::string>{"Drafts", "Junk", "Sent", "Trash", "archive"}));
  EXPECT_EQ(testing::ReadAll(UserFolderOf(inbox) + "archive"), "kept\r\n");
  EXPECT_EQ(FolderPath(inbox, "ARCHIVE"), UserFolderOf(inbox) + "archive");
  EXPECT_EQ(FolderPath(inbox, "Work/2026"), UserFolderOf(inbox) + "Work%2F2026");
  std::string refusal;
  EXPECT_FALSE(FolderPath(inbox, "INBOX", &refusal).has_value());
  EXPECT_FALSE(refusal.empty());
}

}  // namespace
}  // namespace quelma::spool
