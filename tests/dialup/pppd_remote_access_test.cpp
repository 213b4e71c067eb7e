// The Linux dial-up layer on a made-up /etc/ppp, /sys/class/net and pppd.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dialup/posix/pppd_remote_access.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace quelma::dialup {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

struct FakePpp {
  quelma::testing::TempDir dir;
  PppdPaths paths;
  FakePpp() {
    for (const char* sub : {"peers", "net", "run"}) platform::MakeDirectory(dir.file(sub));
    paths = {dir.file("peers/"), dir.path(), dir.file("net/"), dir.file("run/"), dir.file("pppd")};
  }
  // A pppd that records its arguments and exits with `status`.
  void pppd(int status) {
    WriteAll(paths.pppd, "#!/bin/sh\necho \"$@\" > " + dir.file("args") + "\nexit " + std::to_string(status) + "\n");
    chmod(paths.pppd.c_str(), 0755);
  }
  void interface(const std::string& name, const std::string& flags, const std::string& index) {
    platform::MakeDirectory(paths.netDir + name);
    WriteAll(paths.netDir + name + "/flags", flags + "\n");
    WriteAll(paths.netDir + name + "/ifindex", index + "\n");
  }
};

TEST(PppdRemoteAccess, EntriesAndSavedPasswords) {
  FakePpp p;
  WriteAll(p.paths.peersDir + "provider", "/dev/ttyS0 115200\nuser \"office\" # the login\n");
  WriteAll(p.paths.peersDir + "nouser", "/dev/ttyS0\n");
  WriteAll(p.paths.peersDir + "inline", "user x\npassword secret\n");
  WriteAll(p.dir.file("chap-secrets"), "# client server secret\n\"office\" * \"pw\"\n");
  PppdRemoteAccess access(p.paths);
  EXPECT_EQ(access.entryNames(), (std::vector<std::string>{"inline", "nouser", "provider"}));
  EXPECT_TRUE(access.savedParameters("provider")->hasPassword);
  EXPECT_TRUE(access.savedParameters("nouser")->hasPassword);
  EXPECT_TRUE(access.savedParameters("inline")->hasPassword);
  EXPECT_FALSE(access.savedParameters("missing"));
  WriteAll(p.dir.file("chap-secrets"), "someone * pw\n");
  EXPECT_FALSE(access.savedParameters("provider")->hasPassword);
  for (int i = 0; i < 25; ++i) WriteAll(p.paths.peersDir + "e" + std::to_string(i), "");
  EXPECT_EQ(access.entryNames().size(), 28u) << "no entry is left out";
}

TEST(PppdRemoteAccess, DialActiveLinkAndHangUp) {
  FakePpp p;
  PppdRemoteAccess access(p.paths);
  p.pppd(1);
  EXPECT_FALSE(access.dial("provider", "").connected);
  EXPECT_EQ(ReadAll(p.dir.file("args")), "call provider updetach\n");
  EXPECT_EQ(access.firstActiveConnection(), 0u);
  p.pppd(0);
  p.interface("ppp0", "0x1090", "7");  // down
  p.interface("ppp1", "0x1091", "8");  // up
  const DialOutcome up = access.dial("provider", "555-1234");
  EXPECT_EQ(ReadAll(p.dir.file("args")), "call provider updetach telephone 555-1234\n");
  EXPECT_TRUE(up.connected);
  EXPECT_EQ(up.handle, 8u);
  // Hang-up ends the pppd of that interface.
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  WriteAll(p.paths.runDir + "ppp1.pid", std::to_string(child) + "\n");
  access.hangUp(8);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
}  // namespace quelma::dialup
#endif
