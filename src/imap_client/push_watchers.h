// Push: while the program runs, one connection per account with "idle=yes" (and UseLAN = YES)
// waits in IDLE on the account's first folder; what the server tells of is downloaded and
// sorted at once, without a session and without dialling. IDLE is renewed before the
// server would drop it, a lost connection is opened again after a growing pause (5 s up to
// 5 minutes), and the log says each change of state once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/config_store.h"
#include "link/activity_log.h"
#include "link/main_window.h"
#include "net/access_token_source.h"
#include "sorting/sorter_rules.h"

namespace quelma::imap_client {

// What the status bar says of push: every watcher connected, one at least waiting to connect
// again, or no account with push.
enum class PushState { kOff, kOn, kWaiting };
std::string PushStateText(PushState state);

// How long IDLE lasts before it is renewed: 25 minutes (servers may drop it after 30), 9 for
// Gmail's servers (they drop idle connections after about 10).
std::uint32_t IdleRenewalMs(const std::string& server);

struct PushContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  const config::ConfigStore& store;
  sorting::SorterFile& sorter;
  std::string programDir;
  // The access tokens of account `index` of `config`, for an account that logs in with OAuth.
  std::function<std::unique_ptr<net::AccessTokenSource>(const config::Configuration&, std::size_t index)> tokens;
  // True for an account that names this program's own IMAP server: it is not watched.
  std::function<bool(const config::Configuration&, const config::ProviderAccount&)> ownServer;
  std::uint32_t timeoutMs = config::defaults::kProviderTimeoutMs;
  std::uint32_t firstPauseMs = 5000;    // after the first failure; doubled up to the longest
  std::uint32_t longestPauseMs = 300000;
};

class PushWatchers {
 public:
  explicit PushWatchers(PushContext context);
  ~PushWatchers();
  // Starts watching: the accounts of the current settings, and from then on of every new
  // snapshot (checked every two seconds).
  void start();
  // Asks every watcher to end (a wait in IDLE ends within a second) and returns at once: the
  // main thread goes on handling their log lines until ended() says they are done.
  void stop();
  bool ended() const { return ended_; }
  PushState state() const;
  // Each watched account (its server and login) and whether its watcher is connected now.
  std::map<std::pair<std::string, std::string>, bool> connections() const;

 private:
  class Watcher;
  void manage();
  void show();

  PushContext c_;
  std::thread manager_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{true};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::unique_ptr<Watcher>> watchers_;  // by the account's settings line
};

}  // namespace quelma::imap_client
