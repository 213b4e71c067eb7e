// "Reload settings now": what a running program takes from the files at once, what it says, and
// what waits for a restart.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/console/settings_reload.h"
#include "config/config_file.h"
#include "support/recorded_log.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

TEST(SettingsReload, TakesTheFilesAtOnceAndSaysWhatWaitsForARestart) {
  struct Case {
    const char* name;
    std::function<void(config::Configuration&)> edit;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a new user",
       [](config::Configuration& c) { c.users.push_back({"olga", "secret", ""}); },
       {"DIALER> Настройки перечитаны из quelma.cfg и sorter.cfg.\r\n"}},
      {"nothing changed", [](config::Configuration&) {}, {"DIALER> Настройки перечитаны из quelma.cfg и sorter.cfg.\r\n"}},
      {"the ports and the listening addresses",
       [](config::Configuration& c) {
         c.POP3_SRV_PORT = 1110;
         c.SMTP_SRV_PORT = 2525;
         c.LISTEN_ADDRESSES = "127.0.0.1";
       },
       {"DIALER> Настройки перечитаны из quelma.cfg и sorter.cfg.\r\n",
        "DIALER> Изменения POP3_SRV_PORT, SMTP_SRV_PORT, LISTEN_ADDRESSES вступят в силу после перезапуска "
        "программы.\r\n"}},
      {"the IMAP server turned off and its TLS port opened",
       [](config::Configuration& c) {
         c.IMAP_SRV_PORT = 0;
         c.IMAP_SRV_TLS_PORT = 993;
       },
       {"DIALER> Настройки перечитаны из quelma.cfg и sorter.cfg.\r\n",
        "DIALER> Изменения IMAP_SRV_PORT, IMAP_SRV_TLS_PORT вступят в силу после перезапуска программы.\r\n"}},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    config::Configuration running = config::DefaultConfiguration(dir.path());
    running.users.push_back({"ivan", "pass", ""});
    ASSERT_EQ(config::SaveConfiguration(dir.path(), running), config::SaveResult::kSaved);
    config::Configuration edited = running;
    c.edit(edited);
    ASSERT_EQ(config::SaveConfiguration(dir.path(), edited), config::SaveResult::kSaved);

    config::ConfigStore store(running);
    sorting::SorterFile sorter(sorting::SorterFilePath(dir.path()));
    testing::RecordedLog recorded;
    EXPECT_TRUE(ReloadSettings(dir.path(), sorter, store, recorded.log)) << c.name;
    EXPECT_EQ(*store.current(), edited) << c.name;
    EXPECT_EQ(recorded.window.unstampedLines(), c.lines) << c.name;
  }
}

TEST(SettingsReload, AnUnreadableFileLeavesTheRunningSettings) {
  testing::TempDir dir;
  config::Configuration running = config::DefaultConfiguration(dir.path());
  running.users.push_back({"ivan", "pass", ""});
  std::filesystem::create_directory(dir.file("quelma.cfg"));  // exists, cannot be read as a file
  config::ConfigStore store(running);
  const auto before = store.current();
  sorting::SorterFile sorter(sorting::SorterFilePath(dir.path()));
  testing::RecordedLog recorded;
  EXPECT_FALSE(ReloadSettings(dir.path(), sorter, store, recorded.log));
  EXPECT_EQ(store.current(), before);
  EXPECT_EQ(recorded.window.unstampedLines(),
            std::vector<std::string>{"DIALER> Настройки не перечитаны: файл " + dir.file("quelma.cfg") +
                                     " не читается; действуют прежние.\r\n"});
}

}  // namespace
}  // namespace quelma::app
