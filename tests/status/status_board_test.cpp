// The board as the running program keeps it: failures counted from the first after a success,
// accounts known by server and login across settings changes, every change in the file.
#include "status/status_board.h"

#include <gtest/gtest.h>

#include "status/status_file.h"
#include "support/temp_dir.h"

namespace quelma::status {
namespace {

config::Configuration Accounts(std::vector<std::pair<std::string, std::string>> list) {
  config::Configuration c;
  for (const auto& [server, login] : list) {
    config::ProviderAccount a;
    a.server = server;
    a.login = login;
    c.accounts.push_back(a);
  }
  return c;
}

TEST(StatusBoard, FailuresCountFromTheFirstAfterASuccess) {
  testing::TempDir dir;
  std::int64_t now = 1000;
  StatusBoard board(dir.path(), "v", 7, [&] { return now; });
  board.followSettings(Accounts({{"pop.a", "ivan"}}));
  const struct {
    std::int64_t at;
    int error;
    std::int64_t failingSince;
  } sessions[] = {{1100, 0, 0}, {1200, 10061, 1200}, {1300, 49, 1200}, {1400, 0, 0}, {1500, 3, 1500}};
  for (const auto& s : sessions) {
    now = s.at;
    board.accountSession("pop.a", "ivan", s.error, 4, "");
    const auto written = ReadStatusFile(dir.path());
    ASSERT_TRUE(written);
    EXPECT_EQ(written->accounts.at(0).last.at, s.at);
    EXPECT_EQ(written->accounts.at(0).last.ok, s.error == 0);
    EXPECT_EQ(written->accounts.at(0).last.error, s.error);
    EXPECT_EQ(written->accounts.at(0).last.failingSince, s.failingSince) << "at " << s.at;
  }
  EXPECT_EQ(board.sessionsRecorded(), 5u);
}

TEST(StatusBoard, AccountsKeepTheirRecordAcrossSettingsAndRestarts) {
  testing::TempDir dir;
  std::int64_t now = 5000;
  StatusBoard board(dir.path(), "v", 7, [&] { return now; });
  board.followSettings(Accounts({{"pop.a", "ivan"}, {"imap.b", "olga"}}));
  board.accountSession("imap.b", "olga", 0, 12, "good");
  board.uploadSession(2, 0, "");
  board.pushConnections({{{"imap.b", "olga"}, false}});
  board.followSettings(Accounts({{"imap.b", "olga"}, {"pop.c", "petr"}}));  // reordered, one gone, one new
  auto s = board.snapshot();
  ASSERT_EQ(s.accounts.size(), 2u);
  EXPECT_EQ(s.accounts[0].login, "olga");
  EXPECT_EQ(s.accounts[0].last.messages, 12u);
  EXPECT_EQ(s.accounts[0].push, "waiting");
  EXPECT_EQ(s.accounts[1].last.at, 0);

  StatusBoard next(dir.path(), "v", 8, [&] { return now + 60; });
  next.carryOn(*ReadStatusFile(dir.path()));
  next.followSettings(Accounts({{"imap.b", "olga"}}));
  s = next.snapshot();
  EXPECT_EQ(s.accounts.at(0).last.messages, 12u);
  EXPECT_EQ(s.accounts.at(0).push, "") << "push starts again from nothing";
  EXPECT_EQ(s.upload.failingSince, 5000);
  EXPECT_EQ(s.pid, 8);
  EXPECT_EQ(s.startedAt, 5060);
}

}  // namespace
}  // namespace quelma::status
