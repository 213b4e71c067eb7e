// All-or-nothing deliveries across crashes. Before a delivery changes anything, what it will
// change (the maildrops it appends to, with their sizes, and the queue files it stages) is in
// the journal on disk; its commit is one atomic step; what a crash interrupts is undone
// (before the commit) or finished (after it) before the next delivery or at start-up. One
// delivery runs at a time; the POP3 server reads and rewrites maildrops between them. A file
// step that fails is never passed over: before the commit the delivery is undone, after it the
// journal stays until recovery has finished what is left, and while a journal stays that
// recovery could not finish, no new delivery begins (it would overwrite the journal).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"

namespace quelma::spool {

// Held by a delivery from its first change to its commit, and by the POP3 server while it
// builds an index or rewrites a maildrop, so it never sees an unfinished delivery. A
// delivery logs while it holds the lock, and on Windows a log line waits for the main thread:
// the main thread only ever tries it (try_lock), never waits for it.
std::mutex& DeliveryLock();

class Delivery {
 public:
  // Takes the delivery lock, and first recovers what a crash or a failed step left behind.
  explicit Delivery(const config::Configuration& config);
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  ~Delivery();  // a delivery that did not commit is undone

  // Before the first append to each of these maildrops: their sizes now go into the journal,
  // synced. False when the journal could not be written or an earlier delivery could not be
  // finished (nothing may be appended then).
  bool willAppend(const std::vector<std::string>& maildrops);

  // A queue file written under `stagedPath` becomes a queue file at commit, under the first
  // free name from `tick` on.
  bool willPublish(const std::string& stagedPath, std::uint32_t tick);

  const std::string& journalPath() const { return journal_; }

  // A file the delivery consumes: it is removed at commit, never before.
  bool consumes(const std::string& path);

  // Syncs the maildrops appended to, then makes the delivery final in one step, then
  // publishes its queue files and removes what it consumed. The names the queue files got;
  // nothing when the delivery could not be made final (it is undone then, or, when even its
  // commit record is uncertain, left to the recovery of the next delivery or start).
  std::optional<std::vector<std::string>> commit();

  // Undoes it now: appends cut back, staged queue files removed, nothing consumed. What could
  // not be cut back stays named in the journal for recovery.
  void rollback();

  // The first file step that failed: the file and the system's reason
  // ("/office/maildrop/ivan: Input/output error"); empty when none did.
  const std::string& problem() const { return problem_; }
  // After a commit that succeeded: a step after it failed (see problem()); the journal stays,
  // and the next delivery or start finishes the delivery.
  bool unfinished() const { return unfinished_; }

 private:
  enum class JournalWrite { kWritten, kOldStands, kUncertain };
  JournalWrite writeJournal(bool committed);
  bool finishCommitted();
  bool note(const std::string& path);
  struct Append {
    std::string path;
    std::optional<std::uint64_t> sizeBefore;  // nothing: the maildrop did not exist
  };
  struct Staged {
    std::string stagedPath;
    std::string finalName;  // chosen at commit
    std::uint32_t tick;
  };
  const config::Configuration& config_;
  std::string journal_;
  std::unique_lock<std::mutex> hold_;
  std::vector<Append> appends_;
  std::vector<Staged> staged_;
  std::vector<std::string> sources_;
  bool recovered_ = true;  // no earlier delivery is left unfinished
  bool open_ = true;
  bool unfinished_ = false;
  std::string problem_;
};

// Finishes or undoes a delivery a crash or a failed step interrupted; the program runs it at
// start-up. False (the journal kept, `problem` naming the file and the reason) when a step of
// it failed.
bool RecoverDeliveries(const config::Configuration& config, std::string& problem);

// The maildrop and queue directories made where missing (at every session start too: the
// settings may name new ones). False when one is still missing.
bool MakeSpoolDirectories(const config::Configuration& config);

// MakeSpoolDirectories, RecoverDeliveries, and the unique ids of maildrop messages carried
// on from where the last program left them ("unique.ids" in MailDropDir), so that no id is
// handed out twice across restarts: what the program does at start-up, before any server or
// worker runs. False when a directory is missing; `unfinished`, when given, gets the problem
// of a recovery that could not finish (empty when it did) (the work files of the queue then stay too, as
// the kept journal may still name them).
bool PrepareSpool(const config::Configuration& config, std::string* unfinished = nullptr);

}  // namespace quelma::spool
