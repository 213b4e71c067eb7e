// The running program's watch over itself, once a minute on the main thread: the status
// board's push, next-session and settings figures, and the postmaster's alerts (a message in
// the postmaster's maildrop, a log line, a balloon on Windows), each at most once a day.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/config_store.h"
#include "link/activity_log.h"
#include "platform/clock.h"
#include "status/alert_book.h"
#include "status/status_board.h"

namespace quelma::app {

// Kept free for the alerts: removed when a message to the postmaster finds the disk full.
inline constexpr char kAlertReserveFile[] = "alert.reserve";
inline constexpr std::uint64_t kAlertReserveBytes = 256 * 1024;

struct AlertWatchContext {
  const config::ConfigStore& store;
  std::string programDir;
  status::StatusBoard& board;
  link::ActivityLog& log;
  platform::Clock& clock;  // the local time: the timetable, and the times the texts say
  // Push's connections now (server and login: connected); empty when there is no push.
  std::function<std::map<std::pair<std::string, std::string>, bool>()> push;
  // A balloon at the tray icon (Windows); empty where there is none.
  std::function<void(const std::string& title, const std::string& text)> notify;
  std::vector<std::string> recovered;  // what the start did after an unclean stop
  status::UnixClock now = status::UnixNow;
  std::int64_t intervalSeconds = 60;
};

class AlertWatch {
 public:
  explicit AlertWatch(AlertWatchContext context);
  // The session timer: checks when a minute has passed since the last check (the first at
  // once), and as soon as a session's end was recorded.
  void tick();
  // Checks now.
  void check();

 private:
  void review(const config::Configuration& config, std::int64_t now);
  bool deliver(const config::Configuration& config, const std::string& subject, const std::string& text);
  bool keepReserve(const config::Configuration& config);
  std::optional<std::int64_t> localCertificateEnd(const config::Configuration& config, std::int64_t now);

  AlertWatchContext c_;
  status::AlertBook book_;
  std::optional<std::int64_t> lastCheck_;
  std::uint64_t sessionsSeen_ = 0;
  std::shared_ptr<const config::Configuration> followed_;
  std::string certificateFile_;
  std::int64_t certificateReadAt_ = 0;
  std::optional<std::int64_t> certificateEnd_;
  std::set<std::string> undelivered_;  // alerts whose message could not be written (told in the log once)
};

// The local time's offset from UTC now, in seconds.
std::int64_t UtcOffsetSeconds(platform::Clock& clock, std::int64_t now);

}  // namespace quelma::app
