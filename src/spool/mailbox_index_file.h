// The index file beside a mailbox, kept in step with the mailbox file: read, synced with what
// the file holds now (mail an older build or a hand appended, or took out), and stored again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "spool/mailbox_index.h"

namespace quelma::spool {

// The per-user folder beside a user's maildrop ("maildrop/ivan.folders/"): the user's other
// folders and the indexes live there.
std::string UserFolderOf(const std::string& maildropPath);

// The index of a user's INBOX: ".INBOX.index" in the user's folder (no folder's file name
// begins with a dot).
std::string InboxIndexPath(const std::string& maildropPath);

struct SyncedIndex {
  MailboxIndex index;
  bool rebuilt = false;             // there was no index, or none that could be read
  bool damaged = false;             // an index file was there and could not be read: its flags are lost
  bool uidValidityChanged = false;  // the UIDs could not be kept
  std::size_t added = 0, expunged = 0;
  bool stored = true;  // false: the index file could not be written (its folder made); it is as before
  bool unchanged = false;  // the file is as the known index says: `index` is left empty, the known one holds
};

// Under the mailbox's delivery lock: reads the index, scans the mailbox file and brings the
// index in step with it (see SyncIndex; new messages arrive `now`), and stores what changed:
// new messages as records after the index, anything else as a new index in one step.
SyncedIndex SyncMailboxIndex(const std::string& mailboxPath, const std::string& indexPath, std::int64_t now,
                             std::uint32_t freshUidValidity);

// The same for a caller that holds the mailbox's delivery lock and may know the index already
// (`known`: as it stands on disk, every record whole); nothing is read from the index file then.
SyncedIndex SyncMailboxIndexHeld(const std::string& mailboxPath, const std::string& indexPath, std::int64_t now,
                                 std::uint32_t freshUidValidity, const MailboxIndex* known,
                                 const NewMessageShaper& shapeNew = {});

// The index file beside a mailbox: ".INBOX.index" in the user's folder for a user's INBOX,
// ".NAME.index" beside a folder's file NAME.
std::string MailboxIndexPath(const std::string& mailboxPath);

// Whether the index at `indexPath` names expunged messages its mailbox file still holds.
bool MailboxIndexHasExpunged(const std::string& indexPath);

// Whether `mailboxPath` is a folder's file (in a user's folder), not a user's INBOX.
bool IsFolderFile(const std::string& mailboxPath);

// Where a compaction writes the compacted copy of a mailbox file: in the maildrop directory
// under the name the start removes (kCommitWorkFiles), a new one each time.
std::string MailboxWorkPath(const std::string& mailboxPath);

// Where a compaction writes the index of the compacted file before the file takes its place;
// the next sync takes it when the compacted file is there, and drops it otherwise.
std::string IndexReplacementPath(const std::string& indexPath);

}  // namespace quelma::spool
