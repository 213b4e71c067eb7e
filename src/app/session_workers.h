// The workers of a session as threads of the program. Each thread keeps its settings
// snapshot alive itself; the rest it uses lives as long as the program.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "app/session_control.h"
#include "config/config_store.h"
#include "imap_client/push_watchers.h"
#include "oauth/access_tokens.h"
#include "sorting/sorter_rules.h"
#include "status/status_board.h"

namespace quelma::app {

class ThreadWorkers final : public SessionWorkers {
 public:
  ThreadWorkers(link::MainWindow& window, link::ActivityLog& log, sorting::SorterFile& sorter, std::string programDir,
                dialup::RemoteAccess& access, dialup::DialerState& dialer)
      : window_(window), log_(log), sorter_(sorter), programDir_(std::move(programDir)), access_(access), dialer_(dialer) {}

  void startDialer(std::shared_ptr<const config::Configuration> config) override;
  void startSmtpClient(std::shared_ptr<const config::Configuration> config) override;
  void startPop3Client(std::shared_ptr<const config::Configuration> config, std::size_t accountIndex) override;

  // Worker threads still at work, push's included once it was asked to stop.
  int running() const { return running_ + (push_ && !push_->ended() ? 1 : 0); }

  // Push for the accounts that ask for it, following the settings, until stopPush() (which
  // returns at once: running() tells when push has ended).
  void startPush(const config::ConfigStore& store);
  void stopPush();
  // Push's connections now (server and login: connected).
  std::map<std::pair<std::string, std::string>, bool> pushConnections() const;

  // Where each run's end is recorded (the status file); none in tests.
  status::StatusBoard* board = nullptr;

 private:
  void start(std::function<void()> work);

  link::MainWindow& window_;
  link::ActivityLog& log_;
  sorting::SorterFile& sorter_;
  std::string programDir_;
  dialup::RemoteAccess& access_;
  dialup::DialerState& dialer_;
  std::atomic<int> running_{0};
  oauth::AccessTokens tokens_{programDir_};  // shared by every run, so a valid token is used again
  std::unique_ptr<imap_client::PushWatchers> push_;
};

}  // namespace quelma::app
