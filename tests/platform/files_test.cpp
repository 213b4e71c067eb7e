// File helpers on the real file system of the platform (native and under Wine).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/path_match.h"
#include "support/temp_dir.h"

namespace quelma::platform {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

TEST(Files, AppendCreatesAndExtends) {
  TempDir dir;
  const std::string path = dir.file("drop");
  EXPECT_TRUE(AppendToFile(path, "one\r\n", false));
  EXPECT_TRUE(AppendToFile(path, "two\r\n", true));
  EXPECT_EQ(ReadAll(path), "one\r\ntwo\r\n");
  EXPECT_EQ(FileSize(path), 10u);
}

TEST(Files, ExclusiveCreateRefusesAnExistingName) {
  TempDir dir;
  const std::string path = dir.file("0000ABCD");
  auto first = OutputFile::Create(path, CreateMode::kExclusive);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->write("x"));
  EXPECT_TRUE(first->close());
  EXPECT_FALSE(OutputFile::Create(path, CreateMode::kExclusive));
  EXPECT_EQ(ReadAll(path), "x");
}

TEST(Files, AtomicReplaceSwapsContentAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("quelma.cfg");
  WriteAll(path, "old");
  EXPECT_EQ(AtomicReplace(path, "new content"), WriteResult::kWritten);
  EXPECT_EQ(ReadAll(path), "new content");
  EXPECT_EQ(ListDirectory(dir.path(), "*"), std::vector<std::string>{"quelma.cfg"});
}

// Each step of the replace failing: the old content stays and no temporary is left, except
// when only the directory could not be synced (the new content is in place then, not yet
// durable), and the reason is the system's.
TEST(Files, AtomicReplaceWithEachStepFailing) {
  const struct {
    FileStep step;
    WriteResult result;
    const char* content;
  } cases[] = {
      {FileStep::kCreate, WriteResult::kCannotCreate, "old"},
      {FileStep::kWrite, WriteResult::kWriteFailed, "old"},
      {FileStep::kSync, WriteResult::kWriteFailed, "old"},
      {FileStep::kRename, WriteResult::kWriteFailed, "old"},
#ifndef _WIN32  // MoveFileEx writes the entry through; there is no directory to sync
      {FileStep::kSyncDirectory, WriteResult::kNotDurable, "new"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    TempDir dir;
    const std::string path = dir.file("quelma.cfg");
    WriteAll(path, "old");
    FileFaultInjection faults;
    faults.failCall(c.step, 1);
    EXPECT_EQ(AtomicReplace(path, "new"), c.result);
    EXPECT_TRUE(faults.fired());
    EXPECT_EQ(ReadAll(path), c.content);
    EXPECT_EQ(ListDirectory(dir.path(), "*"), std::vector<std::string>{"quelma.cfg"});
    EXPECT_NE(LastFileErrorText(), "");
  }
}

#ifndef _WIN32
TEST(Files, AtomicReplaceKeepsTheAccessRights) {
  TempDir dir;
  const std::string path = dir.file("quelma.cfg");
  WriteAll(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(AtomicReplace(path, "new"), WriteResult::kWritten);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// A private replace is 0600 whatever the old file allowed; a plain one keeps the old rights.
TEST(Files, PrivateReplaceIsForTheOwnerAloneWhateverTheOldMode) {
  struct Case {
    mode_t old;
    CreateMode mode;
    mode_t expected;
  };
  for (const Case c : {Case{0644, CreateMode::kPrivate, 0600}, Case{0666, CreateMode::kPrivate, 0600},
                       Case{0640, CreateMode::kPrivate, 0600}, Case{0600, CreateMode::kPrivate, 0600},
                       Case{0640, CreateMode::kTruncate, 0640}}) {
    TempDir dir;
    const std::string path = dir.file("quelma.cfg");
    WriteAll(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), c.old), 0);
    ASSERT_EQ(AtomicReplace(path, "new", c.mode), WriteResult::kWritten);
    EXPECT_EQ(ModeOf(path), c.expected) << std::oct << c.old;
    EXPECT_EQ(ReadAll(path), "new");
  }
}

TEST(Files, MakeOwnerOnlyNarrowsOnlyWhatOthersMayRead) {
  struct Case {
    mode_t old;
    OwnerOnly result;
    mode_t expected;
  };
  for (const Case c : {Case{0644, OwnerOnly::kMade, 0600}, Case{0604, OwnerOnly::kMade, 0600},
                       Case{0660, OwnerOnly::kMade, 0600}, Case{0600, OwnerOnly::kAlready, 0600},
                       Case{0400, OwnerOnly::kAlready, 0400}}) {
    TempDir dir;
    const std::string path = dir.file("quelma.cfg");
    WriteAll(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), c.old), 0);
    EXPECT_EQ(MakeOwnerOnly(path), c.result) << std::oct << c.old;
    EXPECT_EQ(ModeOf(path), c.expected) << std::oct << c.old;
  }
  TempDir dir;
  EXPECT_EQ(MakeOwnerOnly(dir.file("missing")), OwnerOnly::kFailed);
}

TEST(Files, AFifoInAFilesPlaceDoesNotOpen) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(InputFile::Open(dir.file("fifo"))) << "and the open does not hang";
}
#endif

TEST(Files, AtomicReplaceThatCannotFinishKeepsTheOldFile) {
  TempDir dir;
  // The target is a directory: the rename must fail, and nothing may be lost or left over.
  const std::string path = dir.file("target");
  ASSERT_TRUE(MakeDirectory(path));
  WriteAll(path + "/inside", "keep");
  EXPECT_EQ(AtomicReplace(path, "new"), WriteResult::kWriteFailed);
  EXPECT_EQ(ReadAll(path + "/inside"), "keep");
  EXPECT_FALSE(FileExists(path + ".tmp"));
  EXPECT_EQ(AtomicReplace(dir.file("missing-dir/x"), "new"), WriteResult::kCannotCreate);
}

TEST(Files, ListsMatchingRegularFilesSorted) {
  TempDir dir;
  for (const char* name : {"0000000B", "0000000A", "short", "0000000A.tmp", "abcdefgh"}) WriteAll(dir.file(name), "");
  ASSERT_TRUE(MakeDirectory(dir.file("DIRNAME1")));
  EXPECT_EQ(ListDirectory(dir.path(), "????????"), (std::vector<std::string>{"0000000A", "0000000B", "abcdefgh"}));
  EXPECT_EQ(ListDirectory(dir.path(), "*.tmp"), std::vector<std::string>{"0000000A.tmp"});
  EXPECT_TRUE(ListDirectory(dir.file("none"), "*").empty());
}

TEST(Files, ExistsSizeDeleteAndDirectoriesNeverOpenAsFiles) {
  TempDir dir;
  const std::string path = dir.file("f");
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileSize(path));
  WriteAll(path, "abc");
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(IsDirectory(path));
  EXPECT_TRUE(RemoveFile(path));
  EXPECT_FALSE(RemoveFile(path));
  EXPECT_FALSE(InputFile::Open(dir.path()));
  EXPECT_TRUE(IsDirectory(dir.path()));
  EXPECT_FALSE(MakeDirectory(dir.path()));
}

TEST(PathMatch, Wildcards) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"0000ABCD", "????????", true}, {"0000ABC", "????????", false}, {"0000ABCDE", "????????", false},
      {"a.popfile", "*.popfile", true}, {"popfile", "*.popfile", false}, {"", "*", true},
      {"abc", "a*c", true},           {"abbbc", "a*b*c", true},       {"abc", "a*d", false},
      {"ABC", "abc", false},
  };
  for (const auto& [name, pattern, expected] : cases) EXPECT_EQ(MatchesPattern(name, pattern), expected) << name << " " << pattern;
}

}  // namespace
}  // namespace quelma::platform
