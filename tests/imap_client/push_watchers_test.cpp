// Which accounts push watches: IMAP accounts with idle=yes, never one that
// names this program's own IMAP server; a watcher that cannot reach its server
// shows push waiting and says so once.
#include "imap_client/push_watchers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "config/config_store.h"
#include "sorting/sorter_rules.h"
#include "support/free_port.h"
#include "support/recorded_log.h"
#include "support/temp_dir.h"

namespace quelma::imap_client {
namespace {

TEST(PushWatchers, WatchesIdleAccountsButNeverOurOwnServer) {
  quelma::testing::RecordedLog recorded;
  quelma::testing::TempDir dir;
  config::Configuration c = config::DefaultConfiguration(dir.path());
  c.UseLAN = true;
  config::ProviderAccount own{"127.0.0.1", "postmaster", "pw", 1143, "*", 0, {}, {}, {}, {}};
  own.proto = config::CollectProtocol::kImap;
  own.idle = true;
  config::ProviderAccount provider = own;
  provider.port = quelma::testing::FreeLoopbackPort();
  config::ProviderAccount notIdle = provider;
  notIdle.idle = false;
  notIdle.login = "other";
  c.accounts = {own, provider, notIdle};
  config::ConfigStore store(c);
  sorting::SorterFile sorter(sorting::SorterFilePath(dir.path()));
  PushWatchers push({recorded.window,
                     recorded.log,
                     store,
                     sorter,
                     dir.path(),
                     {},
                     [](const config::Configuration&, const config::ProviderAccount& a) { return a.port == 1143; },
                     2000,
                     20,
                     40});
  push.start();
  const std::string lost = "IMAPCLIENT> Push: связь с сервером \"127.0.0.1\" потеряна";
  const auto count = [&](const std::string& start) {
    int n = 0;
    for (const std::string& line : recorded.window.unstampedLines()) n += line.rfind(start, 0) == 0;
    return n;
  };
  for (int i = 0; i < 500 && count(lost) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several more tries, 20..40 ms apart
  EXPECT_EQ(push.state(), PushState::kWaiting) << recorded.transcript();
  EXPECT_EQ(count(lost), 1) << "a lost connection is told once, not at every try\n" << recorded.transcript();
  EXPECT_EQ(count("IMAPCLIENT> Push: счет 0 (127.0.0.1:1143) указывает на IMAP сервер этой программы"), 1)
      << recorded.transcript();
  EXPECT_EQ(recorded.transcript().find("other"), std::string::npos) << "an account without idle=yes is not watched";
  push.stop();
  for (int i = 0; i < 500 && !push.ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(push.ended());
}

}  // namespace
}  // namespace quelma::imap_client
