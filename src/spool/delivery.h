// All-or-nothing deliveries across crashes. Before a delivery changes anything, what it will
// change (the maildrops it appends to, with their sizes, and the queue files it stages) is in
// the journal on disk; its commit is one atomic step; what a crash interrupts is undone
// (before the commit) or finished (after it) before the next delivery or at start-up. One
// delivery runs at a time; the POP3 server reads and rewrites maildrops between them.
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
  // Takes the delivery lock, and first recovers what a crash left behind.
  explicit Delivery(const config::Configuration& config);
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  ~Delivery();  // a delivery that did not commit is undone

  // Before the first append to each of these maildrops: their sizes now go into the journal,
  // synced. False when the journal could not be written (nothing may be appended then).
  bool willAppend(const std::vector<std::string>& maildrops);

  // A queue file written under `stagedPath` becomes a queue file at commit, under the first
  // free name from `tick` on.
  bool willPublish(const std::string& stagedPath, std::uint32_t tick);

  const std::string& journalPath() const { return journal_; }

  // A file the delivery consumes: it is removed at commit, never before.
  bool consumes(const std::string& path);

  // Syncs the maildrops appended to, then makes the delivery final in one step, then
  // publishes its queue files and removes what it consumed. The names the queue files got;
  // nothing when the delivery could not be made final (it is undone then).
  std::optional<std::vector<std::string>> commit();

  // Undoes it now: appends cut back, staged queue files removed, nothing consumed.
  void rollback();

 private:
  bool writeJournal(bool committed);
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
  bool open_ = true;
};

// Finishes or undoes a delivery a crash interrupted; the program runs it at start-up.
void RecoverDeliveries(const config::Configuration& config);

// The maildrop and queue directories made where missing (at every session start too: the
// settings may name new ones). False when one is still missing.
bool MakeSpoolDirectories(const config::Configuration& config);

// MakeSpoolDirectories, RecoverDeliveries, and the unique ids of maildrop messages carried
// on from where the last program left them ("unique.ids" in MailDropDir), so that no id is
// handed out twice across restarts: what the program does at start-up, before any server or
// worker runs.
bool PrepareSpool(const config::Configuration& config);

}  // namespace quelma::spool
