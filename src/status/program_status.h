// The program's state at a glance: what the running program keeps in "quelma.status" (itself,
// its provider accounts' last sessions, push, the next session, open alerts) and what a reader
// adds from the disk at the moment it asks (the queue, the maildrops, the OAuth logins).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelma::status {

// One provider connection's last session: an account's download, or the upload to the
// provider's SMTP server.
struct LastSession {
  std::int64_t at = 0;            // when it ended, seconds since 1970 (UTC); 0: none yet
  bool ok = false;
  int error = 0;                  // its error number when it failed
  std::uint64_t messages = 0;     // stored (an account) or sent (the upload)
  std::int64_t failingSince = 0;  // the first failed session after the last good one; 0 while good
};

struct AccountState {
  std::string server, login;
  std::string protocol;  // "pop3" or "imap"
  LastSession last;
  std::string push;      // "", "on", "waiting" or "off" ("": the account does not push)
  std::string oauth;     // "", "good" or "needs login" ("": it logs in with a password)
};

struct OpenAlert {
  std::string condition;  // what it is about ("disk", "account pop.example.com me", ...)
  std::string text;
  std::int64_t since = 0;
  std::int64_t sentAt = 0;  // when the postmaster was last told; 0: not yet
  std::string subject;      // of its message, after "[Quelmar] "
};

struct SpoolFigures {
  std::uint64_t queueMessages = 0, queueBytes = 0;
  std::int64_t queueOldest = 0;  // the oldest queue file's time; 0 when the queue is empty
  std::uint64_t maildrops = 0, maildropBytes = 0;
};

struct ProgramStatus {
  // Kept by the running program.
  std::int64_t pid = 0;
  std::string version;
  std::int64_t startedAt = 0, writtenAt = 0;
  std::vector<AccountState> accounts;  // in the settings' order
  LastSession upload;
  std::string uploadOauth;             // as AccountState::oauth, for the provider's SMTP server
  std::int64_t nextSession = 0;        // 0: none planned
  std::vector<OpenAlert> alerts;
  // Added by the reader.
  bool running = false;
  SpoolFigures spool;
};

// The kept part as the status file holds it (JSON), and back; nothing for a file that is not one.
std::string EncodeStatusFile(const ProgramStatus& status);
std::optional<ProgramStatus> DecodeStatusFile(const std::string& bytes);

// Everything as `quelma status --json` prints it (times as ISO 8601 UTC).
std::string FormatStatusJson(const ProgramStatus& status);

}  // namespace quelma::status
