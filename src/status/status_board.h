// What the running program knows of itself, kept up to date by its threads: each provider
// connection's last session, push, the next session, the open alerts. Every change replaces
// "quelma.status" at once, so that the file is never older than the last session.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "config/configuration.h"
#include "status/program_status.h"

namespace quelma::status {

// Seconds since 1970, UTC.
using UnixClock = std::function<std::int64_t()>;
std::int64_t UnixNow();

class StatusBoard {
 public:
  StatusBoard(std::string programDir, std::string version, std::int64_t pid, UnixClock now = UnixNow);

  // Carries on from what the last program left in the file: the accounts' last sessions (and
  // how long they have failed), the upload's, the alerts and when they were sent.
  void carryOn(const ProgramStatus& previous);
  // The accounts of the settings, in their order; an account keeps its record across changes
  // of its other settings (it is known by its server and login).
  void followSettings(const config::Configuration& config);

  // A session's end: its error number (0: it succeeded), the messages stored or sent, and the
  // OAuth login's state ("" for a password, "good", "needs login").
  void accountSession(const std::string& server, const std::string& login, int error, std::uint64_t messages,
                      const std::string& oauth);
  void uploadSession(int error, std::uint64_t messages, const std::string& oauth);

  // Push's connections (server and login: connected), every account not in it "" (no push).
  void pushConnections(const std::map<std::pair<std::string, std::string>, bool>& connections);
  void nextSession(std::int64_t at);
  void alerts(std::vector<OpenAlert> open);

  ProgramStatus snapshot() const;
  // Counts the sessions recorded: a watcher sees that one ended.
  std::uint64_t sessionsRecorded() const;
  // Writes the file now (after the start, and when nothing else changed for a while).
  bool write();

 private:
  bool writeLocked();
  static void record(LastSession& last, int error, std::uint64_t messages, std::int64_t now);

  std::string programDir_;
  UnixClock now_;
  mutable std::mutex mutex_;
  ProgramStatus status_;
  std::uint64_t sessions_ = 0;
  std::map<std::pair<std::string, std::string>, AccountState> known_;  // accounts no longer in the settings too
};

}  // namespace quelma::status
