// Configuration snapshots: a reader keeps its snapshot while the main thread publishes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config/config_store.h"

namespace quelma::config {
namespace {

TEST(ConfigStore, ReadersSeeWholeSnapshotsWhilePublishing) {
  ConfigStore store;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const auto snapshot = store.current();
      if (snapshot->Boss.size() != snapshot->users.size()) ++torn;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    Configuration c;
    c.Boss = std::string(static_cast<std::size_t>(i % 50), 'b');
    c.users.resize(static_cast<std::size_t>(i % 50));
    store.publish(std::move(c));
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace quelma::config
