// A mailbox open in this process, one object for every session that has it open: its index in
// memory, kept in step with the file, the flags and expunges sessions make, the text of its
// messages by UID, and word to every session that listens when anything changes.
#pragma once

#include <cstdint>
#include <functional>
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message_structure.h"
#include "spool/mailbox_index.h"
#include "spool/summary_cache.h"

namespace quelma::spool {

// What the first sync of a mailbox found, for its opener's log.
struct MailboxOpenNote {
  bool rebuilt = false;             // made from the file: there was no index, or none that could be read
  bool flagsLost = false;           // an index was there and could not be read
  bool uidValidityChanged = false;  // the UIDs could not be kept
  bool notStored = false;           // the index could not be written: changes are tried again later
};

class Mailbox : public std::enable_shared_from_this<Mailbox> {
 public:
  // The mailbox at `path` (a user's INBOX or a folder's file), found open or opened, and synced
  // with its file: mail anyone appended since is in it. When its index cannot be written it
  // still lists the mail; flags and expunges then fail until it can.
  static std::shared_ptr<Mailbox> Open(const std::string& path, MailboxOpenNote* note = nullptr);
  // After a delivery appended to `path`: the index takes the new mail in now (so its arrival
  // time is true), unless a delivery or compaction holds the mailbox (that one's holder syncs)
  // or it has no index yet (its first open reads the file whole). Never waits, so the main
  // thread may call it.
  static void NoteAppended(const std::string& path);
  // Lets go of the mailboxes kept open after their last session (at the end, and for a start
  // over in tests).
  static void ForgetIdle();
  // A mailbox whose file was removed or renamed: the next Open of its path starts afresh, and
  // the sessions that still have it are told (removed() is true for them).
  static void Forget(const std::string& path);
  bool removed() const;
  // The mailboxes open now that have expunged messages still in their files.
  static std::vector<std::shared_ptr<Mailbox>> OpenWithExpunged();

  const std::string& path() const { return path_; }
  const std::string& indexPath() const { return indexPath_; }

  // The index as it is now: what a session lists.
  MailboxIndex index() const;
  // The same, shared by every reader until the next change (no copy for each of many sessions).
  std::shared_ptr<const MailboxIndex> snapshot() const;
  // The UIDNEXT the mailbox had when this process first opened it (under its UIDVALIDITY now):
  // mail from that UID on came while the program ran (IMAP's \Recent starts there).
  std::uint32_t firstUidOfProcess() const;
  // How many changes it has seen; grows with every append, flag change and expunge.
  std::uint64_t changeCount() const;

  // Brings the index in step with the file (reading only what was added when it only grew);
  // false when the index could not be stored.
  bool refresh();

  enum class ReadResult { kWhole, kStopped, kReadFailed, kGone };
  // Hands the text of message `uid` to `onPiece` as MaildropFile::readText does; kGone when the
  // file no longer holds it. A message expunged but not yet compacted away can still be read.
  ReadResult readText(std::uint32_t uid, const std::function<bool(std::string_view piece)>& onPiece) const;
  // The same for a message a session knows by UID and id: when the UID names another message
  // now (the mailbox was numbered anew), the message with that id is read.
  ReadResult readText(std::uint32_t uid, std::string_view id,
                      const std::function<bool(std::string_view piece)>& onPiece) const;

  // The envelope and MIME structure of message `uid`: kept from the last time it was asked
  // for, or read from the message and kept now. Nothing when the message is gone or its text
  // cannot be read.
  std::optional<mime::MessagePart> summary(std::uint32_t uid);

  // What a message appended under separator id `id` gets when the index takes it in (APPEND's
  // flags and date, a copy's flags and arrival): until then it is remembered here.
  struct Arrival {
    std::uint32_t flags = 0;
    std::uint64_t keywords = 0;
    std::int64_t arrival = 0;  // seconds since 1970; 0: when the index takes it in
  };
  void expect(const std::string& id, Arrival arrival);
  // The UID the message expected under separator id `id` was given when the index took it in
  // (asked once: the answer is forgotten then); nothing when it has not been taken in.
  std::optional<std::uint32_t> takeUid(const std::string& id);
  // Whether message `uid` is still in the mailbox (not expunged).
  bool contains(std::uint32_t uid) const;

  // The keyword's bit, the keyword added to the mailbox when new; nothing when the mailbox has
  // as many keywords as it may.
  std::optional<std::size_t> keyword(std::string_view name);
  // Gives message `uid` these flags and keywords: its new MODSEQ, or nothing when it is gone
  // or the change could not be stored.
  std::optional<std::uint64_t> setFlags(std::uint32_t uid, std::uint32_t flags, std::uint64_t keywords);
  // Takes these messages out of sight for good, on disk before it returns true; the file is
  // compacted later, off the caller's way (see CompactLater).
  bool expunge(const std::vector<std::uint32_t>& uids);
  // The same for UIDs a session took under `uidValidity`: nothing (and nothing done) when the
  // mailbox has another UIDVALIDITY now, and the UIDs name other messages.
  std::optional<bool> expungeUnder(std::uint32_t uidValidity, const std::vector<std::uint32_t>& uids);

  // Calls `onChange` (on the thread that changed the mailbox; it must not call back into it)
  // after every change until the subscription ends.
  class Subscription;
  std::unique_ptr<Subscription> subscribe(std::function<void()> onChange);

  enum class CompactResult { kDone, kNothingToDo, kBusy, kFailed };
  // Under the mailbox's locks: the file without its expunged messages (cut short when they are
  // all at its end), the index to match; the UIDs and flags of the rest are unchanged.
  // `patience`: how long to wait for deliveries and readers before giving up (kBusy).
  CompactResult compact(std::chrono::milliseconds patience);
  bool hasExpunged() const;

  Mailbox(std::string path, std::string indexPath, MailboxIndex index);  // through Open

 private:
  static std::shared_ptr<Mailbox> Load(const std::string& path, MailboxOpenNote* note);
  bool refreshHeld();
  void notify();
  // Puts a change on disk (as records after the index, or the whole index when the file is not
  // the one in memory) and then makes it in memory; false, and nothing changed, when it failed.
  bool store(const std::string& records, bool durable, const std::function<void(MailboxIndex&)>& change);
  bool writeWhole(const MailboxIndex& index) const;
  CompactResult compactHeld(std::chrono::milliseconds patience);

  const std::string path_;
  const std::string indexPath_;
  mutable std::mutex mutex_;  // guards the index and the index file's records
  MailboxIndex index_;
  mutable std::shared_ptr<const MailboxIndex> snapshot_;  // index_ as last shared; reset by every change
  bool inStep_ = true;  // the index file holds index_
  bool removed_ = false;
  std::uint64_t changes_ = 0;
  // Shared by every reader of the file, exclusive while compaction replaces or cuts it.
  mutable std::shared_timed_mutex fileInUse_;
  SummaryCache summaries_;
  std::map<std::string, Arrival, std::less<>> expected_;  // guarded by mutex_
  std::map<std::string, std::uint32_t, std::less<>> given_;  // the UIDs the expected ones got
  std::mutex listenersMutex_;
  std::list<std::function<void()>> listeners_;
};

class Mailbox::Subscription {
 public:
  Subscription(std::shared_ptr<Mailbox> mailbox, std::list<std::function<void()>>::iterator at)
      : mailbox_(std::move(mailbox)), at_(at) {}
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

 private:
  std::shared_ptr<Mailbox> mailbox_;
  std::list<std::function<void()>>::iterator at_;
};

}  // namespace quelma::spool
