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
};

// Under the mailbox's delivery lock: reads the index, scans the mailbox file and brings the
// index in step with it (see SyncIndex; new messages arrive `now`), and stores what changed:
// new messages as records after the index, anything else as a new index in one step.
// Nothing when the index could not be stored (its folder could not be made or written).
std::optional<SyncedIndex> SyncMailboxIndex(const std::string& mailboxPath, const std::string& indexPath,
                                            std::int64_t now, std::uint32_t freshUidValidity);

}  // namespace quelma::spool
