// The board under one lock; the file written under it too, so that two writers never mix.
#include "status/status_board.h"

#include <ctime>

#include "status/status_file.h"

namespace quelma::status {

std::int64_t UnixNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

StatusBoard::StatusBoard(std::string programDir, std::string version, std::int64_t pid, UnixClock now)
    : programDir_(std::move(programDir)), now_(std::move(now)) {
  status_.pid = pid;
  status_.version = std::move(version);
  status_.startedAt = now_();
}

void StatusBoard::carryOn(const ProgramStatus& previous) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (AccountState a : previous.accounts) {
    a.push.clear();  // push starts again from nothing
    known_[{a.server, a.login}] = a;
  }
  status_.upload = previous.upload;
  status_.uploadOauth = previous.uploadOauth;
  status_.alerts = previous.alerts;
}

void StatusBoard::followSettings(const config::Configuration& config) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (const AccountState& a : status_.accounts) known_[{a.server, a.login}] = a;
  status_.accounts.clear();
  for (const config::ProviderAccount& account : config.accounts) {
    AccountState state = known_[{account.server, account.login}];
    state.server = account.server;
    state.login = account.login;
    state.protocol = account.proto == config::CollectProtocol::kImap ? "imap" : "pop3";
    if (account.auth == config::OauthMechanism::kNone) state.oauth.clear();
    status_.accounts.push_back(state);
  }
  if (config.SMTP_AUTH == config::OauthMechanism::kNone) status_.uploadOauth.clear();
  writeLocked();
}

void StatusBoard::record(LastSession& last, int error, std::uint64_t messages, std::int64_t now) {
  last.at = now;
  last.ok = error == 0;
  last.error = error;
  last.messages = messages;
  if (error == 0) {
    last.failingSince = 0;
  } else if (last.failingSince == 0) {
    last.failingSince = now;
  }
}

void StatusBoard::accountSession(const std::string& server, const std::string& login, int error, std::uint64_t messages,
                                 const std::string& oauth) {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::int64_t now = now_();
  for (AccountState& a : status_.accounts) {
    if (a.server != server || a.login != login) continue;
    record(a.last, error, messages, now);
    a.oauth = oauth;
  }
  ++sessions_;
  writeLocked();
}

void StatusBoard::uploadSession(int error, std::uint64_t messages, const std::string& oauth) {
  std::lock_guard<std::mutex> hold(mutex_);
  record(status_.upload, error, messages, now_());
  status_.uploadOauth = oauth;
  ++sessions_;
  writeLocked();
}

void StatusBoard::pushConnections(const std::map<std::pair<std::string, std::string>, bool>& connections) {
  std::lock_guard<std::mutex> hold(mutex_);
  bool changed = false;
  for (AccountState& a : status_.accounts) {
    const auto it = connections.find({a.server, a.login});
    const std::string push = it == connections.end() ? "" : it->second ? "on" : "waiting";
    changed = changed || push != a.push;
    a.push = push;
  }
  if (changed) writeLocked();
}

void StatusBoard::nextSession(std::int64_t at) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (status_.nextSession == at) return;
  status_.nextSession = at;
  writeLocked();
}

void StatusBoard::alerts(std::vector<OpenAlert> open) {
  std::lock_guard<std::mutex> hold(mutex_);
  status_.alerts = std::move(open);
  writeLocked();
}

ProgramStatus StatusBoard::snapshot() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return status_;
}

std::uint64_t StatusBoard::sessionsRecorded() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return sessions_;
}

bool StatusBoard::write() {
  std::lock_guard<std::mutex> hold(mutex_);
  return writeLocked();
}

bool StatusBoard::writeLocked() {
  status_.writtenAt = now_();
  return WriteStatusFile(programDir_, status_);
}

}  // namespace quelma::status
