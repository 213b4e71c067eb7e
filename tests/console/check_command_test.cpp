// "quelma check" on the command line: its exit codes, and a missing quelma.cfg left missing.
#include "app/console/check_command.h"

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "platform/files.h"
#include "support/free_port.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

TEST(CheckCommand, ExitCodesForWordsSettingsAndVerdicts) {
  testing::TempDir dir;
  EXPECT_EQ(CheckCommand(dir.path(), {"accounts"}), 2);
  EXPECT_EQ(CheckCommand(dir.path(), {"account", "x"}), 2);
  EXPECT_EQ(CheckCommand(dir.path(), {"local"}), 1);  // no quelma.cfg: none is made
  EXPECT_FALSE(platform::FileExists(config::ConfigFilePath(dir.path())));

  config::Configuration config = config::DefaultConfiguration(dir.path());
  platform::MakeDirectory(config.MailDropDir);
  platform::MakeDirectory(config.QueueDir);
  config.LocalDomain = "office.ru";
  config.LISTEN_ADDRESSES = "127.0.0.1";
  config.SMTP_SRV_PORT = testing::FreeLoopbackPort();
  config.POP3_SRV_PORT = testing::FreeLoopbackPort();
  config.IMAP_SRV_PORT = testing::FreeLoopbackPort();
  ASSERT_EQ(config::SaveConfiguration(dir.path(), config), config::SaveResult::kSaved);
  EXPECT_EQ(CheckCommand(dir.path(), {"local"}), 0);
  EXPECT_EQ(CheckCommand(dir.path(), {"account", "0"}), 1);  // there is no account 0

  config.RELAY_NETWORKS = "0.0.0.0/0";
  ASSERT_EQ(config::SaveConfiguration(dir.path(), config), config::SaveResult::kSaved);
  EXPECT_EQ(CheckCommand(dir.path(), {"local"}), 1);
}

}  // namespace
}  // namespace quelma::app
