// All-or-nothing deliveries across crashes. Before a delivery changes anything, what it will
// change (the maildrops it appends to, with their sizes, and the queue files it stages) is in
// a journal of its own on disk; its commit is one atomic step; what a crash interrupts is
// undone (before the commit) or finished (after it) at start-up. A delivery holds the locks of
// the maildrops it appends to, so deliveries to other users run at the same time, and the POP3
// server reads and rewrites a maildrop between the deliveries to it. A file step that fails is
// never passed over: before the commit the delivery is undone, after it the journal stays
// until recovery has finished what is left, and while a journal stays that recovery could not
// finish, no delivery appends to a maildrop it names and no QUIT rewrites one (the sizes it
// would cut back to would no longer be true).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "spool/maildrop_locks.h"

namespace quelma::spool {

class Delivery {
 public:
  explicit Delivery(const config::Configuration& config);
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  ~Delivery();  // a delivery that did not commit is undone

  // Before the first append to each of these maildrops: their locks are taken (see
  // DeliveryLocks), an unfinished earlier delivery to them finished, and their sizes go into
  // the journal, synced. False when the journal could not be written or an earlier delivery
  // could not be finished (nothing may be appended then), or when busy(): another delivery
  // holds one of them while this one holds others; undo this one and begin it again with
  // every maildrop it wanted from the start.
  // `bytes`, when given, says for each maildrop how many bytes the delivery appends to it
  // (see MaildropTextWriter's counting form): a delivery of one append alone is then kept by
  // recovery when it is whole, and its commit needs one sync less.
  bool willAppend(const std::vector<std::string>& maildrops, const std::vector<std::uint64_t>& bytes = {});
  bool busy() const { return busy_; }
  // Every maildrop it appended to or wanted to.
  std::vector<std::string> maildrops() const;

  // A queue file written under `stagedPath` becomes a queue file at commit, under the first
  // free name from `tick` on.
  bool willPublish(const std::string& stagedPath, std::uint32_t tick);

  const std::string& journalPath() const { return journal_; }

  // A file the delivery consumes: it is removed at commit, never before.
  bool consumes(const std::string& path);

  // Syncs the maildrops appended to, then makes the delivery final in one step, then
  // publishes its queue files and removes what it consumed; the locks are let go. The names the queue files got;
  // nothing when the delivery could not be made final (it is undone then, or, when even its
  // commit record is uncertain, left to the recovery of the next delivery or start).
  std::optional<std::vector<std::string>> commit();

  // Undoes it now: appends cut back, staged queue files removed, nothing consumed; the locks
  // are let go. What could not be cut back stays named in the journal for recovery.
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
  std::optional<std::vector<std::string>> commitHeld();
  bool finishCommitted();
  bool note(const std::string& path);
  void leaveJournal();
  bool clearJournal(bool durable);
  bool keepsWhole() const;
  struct Append {
    std::string path;
    std::optional<std::uint64_t> sizeBefore;  // nothing: the maildrop did not exist
    std::optional<std::uint64_t> bytes;       // what the delivery appends, when it said
  };
  struct Staged {
    std::string stagedPath;
    std::string finalName;  // chosen at commit
    std::uint32_t tick;
  };
  const config::Configuration& config_;
  std::string journal_;
  bool journalOnDisk_ = false;  // journal_ is there and empty: an intent goes in in place
  bool journalSynced_ = true;   // and its emptying is synced
  DeliveryLocks locks_;
  std::vector<Append> appends_;
  std::vector<Staged> staged_;
  std::vector<std::string> sources_;
  bool recovered_ = true;  // no earlier delivery to its maildrops is left unfinished
  bool busy_ = false;
  std::vector<std::string> wanted_;  // maildrops whose locks were busy
  bool open_ = true;
  bool unfinished_ = false;
  std::string problem_;
};

// Finishes or undoes every delivery a crash or a failed step interrupted; the program runs it
// at start-up. False (the journals kept, `problem` naming the file and the reason) when a step
// of one failed.
bool RecoverDeliveries(const config::Configuration& config, std::string& problem, int* finished = nullptr);

// Finishes what earlier deliveries left unfinished, where it can now (an undo only when no
// delivery holds its maildrops). False, `problem` naming a journal, when one stays.
bool FinishUnfinishedDeliveries(std::string& problem);

// Whether a delivery that recovery has not finished yet may still cut `maildrop` back: no
// QUIT may rewrite it meanwhile.
bool MaildropAwaitsRecovery(const std::string& maildrop);

// The maildrop and queue directories made where missing (at every session start too: the
// settings may name new ones). False when one is still missing.
bool MakeSpoolDirectories(const config::Configuration& config);

// MakeSpoolDirectories, RecoverDeliveries, and the unique ids of maildrop messages carried
// on from where the last program left them ("unique.ids" in MailDropDir), so that no id is
// handed out twice across restarts: what the program does at start-up, before any server or
// worker runs. False when a directory is missing; `unfinished`, when given, gets the problem
// of a recovery that could not finish (empty when it did) (the work files of the queue then stay too, as
// the kept journal may still name them). `recovered`, when given, gets a line for each kind of
// work an unclean stop left and what was done with it (nothing after a clean stop).
bool PrepareSpool(const config::Configuration& config, std::string* unfinished = nullptr,
                  std::vector<std::string>* recovered = nullptr);

}  // namespace quelma::spool
