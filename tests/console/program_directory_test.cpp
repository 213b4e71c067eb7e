// Where the Linux program keeps its files, and the administrator's commands run as root acting as
// the program directory's owner (checked in a child process, which the switch cannot leave).
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/console/directory_owner.h"
#include "app/console/program_directory.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

TEST(ProgramDirectory, AnInstalledProgramUsesTheStateDirectory) {
  struct Case {
    const char* executableDirectory;
    const char* programDirectory;
  };
  const Case cases[] = {
      {"/usr/sbin/", "/var/lib/quelma/"},
      {"/usr/local/sbin/", "/var/lib/quelma/"},
      {"/home/anna/quelma/build/native/", "/home/anna/quelma/build/native/"},
      {"/opt/quelma/", "/opt/quelma/"},
      {"/usrlocal/", "/usrlocal/"},
      {"/srv/usr/sbin/", "/srv/usr/sbin/"},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultProgramDirectory(c.executableDirectory), c.programDirectory);
}

TEST(ProgramDirectory, AGivenDirectoryIsMadeAndMadeAbsolute) {
  testing::TempDir dir;
  const auto made = ProgramDirectory(dir.file("new"));
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(*made, dir.file("new/"));
  EXPECT_TRUE(platform::IsDirectory(dir.file("new")));
  EXPECT_FALSE(ProgramDirectory(dir.file("no/such/parent")).has_value());
}

// What the child saw after the switch (plain data, written whole through a pipe).
struct Outcome {
  OwnerSwitch result = OwnerSwitch::kFailed;
  uid_t uid = 0, euid = 0;
  gid_t gid = 0, egid = 0;
  int groupCount = -1;
  gid_t groups[16] = {};
  bool rootRegained = false;
  uid_t fileOwner = 0;  // of a file the child made in the directory afterwards
};

Outcome SwitchInChild(const std::string& directory) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    Outcome o;
    std::string problem;
    o.result = BecomeDirectoryOwner(directory, problem);
    o.uid = ::getuid();
    o.euid = ::geteuid();
    o.gid = ::getgid();
    o.egid = ::getegid();
    o.groupCount = ::getgroups(16, o.groups);
    o.rootRegained = o.euid != 0 && ::setuid(0) == 0;
    const std::string file = directory + "written-after";
    if (std::FILE* f = std::fopen(file.c_str(), "w")) {
      std::fclose(f);
      struct stat status {};
      if (::stat(file.c_str(), &status) == 0) o.fileOwner = status.st_uid;
    }
    ::_exit(::write(pipeEnds[1], &o, sizeof o) == static_cast<ssize_t>(sizeof o) ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  Outcome o;
  const bool whole = ::read(pipeEnds[0], &o, sizeof o) == static_cast<ssize_t>(sizeof o);
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(whole && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return o;
}

TEST(DirectoryOwner, RootBecomesTheOwnerOfTheDirectory) {
  if (::geteuid() != 0) {
    testing::TempDir dir;
    std::string problem;
    EXPECT_EQ(BecomeDirectoryOwner(dir.path(), problem), OwnerSwitch::kNotNeeded);
    GTEST_SKIP() << "the switch itself needs root";
  }
  struct Case {
    const char* name;
    uid_t owner;
    gid_t group;
    OwnerSwitch result;
    uid_t uid;
    gid_t gid;
  };
  const Case cases[] = {
      {"root's own directory: nothing changes", 0, 0, OwnerSwitch::kNotNeeded, 0, 0},
      {"a known user (nobody): its group, its groups", 65534, 0, OwnerSwitch::kSwitched, 65534, 65534},
      {"a user the system does not know: the directory's group", 4242, 4243, OwnerSwitch::kSwitched, 4242, 4243},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ASSERT_EQ(::chown(dir.path().c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    const Outcome o = SwitchInChild(dir.path());
    EXPECT_EQ(o.result, c.result) << c.name;
    EXPECT_EQ(o.uid, c.uid) << c.name;
    EXPECT_EQ(o.euid, c.uid) << c.name;
    EXPECT_EQ(o.gid, c.gid) << c.name;
    EXPECT_EQ(o.egid, c.gid) << c.name;
    EXPECT_FALSE(o.rootRegained) << c.name;
    EXPECT_EQ(o.fileOwner, c.uid) << c.name;
    if (c.result == OwnerSwitch::kSwitched) {
      ASSERT_EQ(o.groupCount, 1) << c.name;  // none of root's groups kept
      EXPECT_EQ(o.groups[0], c.gid) << c.name;
    }
  }
  testing::TempDir dir;
  std::string problem;
  EXPECT_EQ(BecomeDirectoryOwner(dir.file("missing"), problem), OwnerSwitch::kFailed);
  EXPECT_NE(problem.find("missing"), std::string::npos) << problem;
}

}  // namespace
}  // namespace quelma::app
