// A session's view of the mailbox it selected: the messages its client knows by number, with
// the flags it was told, and the updates it is owed when the mailbox changes (new mail, flags
// set by another session, expunges), told as untagged responses when the protocol allows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "spool/mailbox.h"

namespace quelma::imap_server {

struct KnownMessage {
  std::uint32_t uid = 0;
  std::uint32_t flags = 0;
  std::uint64_t keywords = 0;
  std::uint64_t modseq = 0;
  bool recent = false;
  bool gone = false;  // expunged; the client is told when expunges may be told
};

// How the updates are to be told.
struct UpdateStyle {
  bool expunges = true;   // EXPUNGE/VANISHED may be sent now (not during FETCH, STORE, SEARCH)
  bool condstore = false; // FETCH responses carry MODSEQ
  bool qresync = false;   // expunges as VANISHED, FETCH responses carry UID
  bool recent = true;     // RECENT counts are told (IMAP4rev1; IMAP4rev2 has no \Recent)
  bool uids = false;      // FETCH responses carry UID: told during a UID command
};

class SelectedMailbox {
 public:
  // `claimRecent`: the session takes the messages no session saw before as its \Recent ones
  // (the first session to see a new message has it so; SELECT does, EXAMINE does not).
  SelectedMailbox(std::shared_ptr<spool::Mailbox> box, bool readOnly, bool claimRecent);

  spool::Mailbox& box() { return *box_; }
  const std::shared_ptr<spool::Mailbox>& shared() const { return box_; }
  bool readOnly() const { return readOnly_; }
  std::uint32_t uidValidity() const { return uidValidity_; }
  std::uint32_t uidNext() const { return uidNext_; }
  std::uint64_t highestModseq() const { return highestModseq_; }
  const std::vector<std::string>& keywords() const { return keywords_; }
  const std::vector<KnownMessage>& messages() const { return messages_; }
  std::uint32_t exists() const { return static_cast<std::uint32_t>(messages_.size()); }
  std::uint32_t recentCount() const;
  // How many messages no session has had as \Recent yet (EXAMINE and STATUS tell them and
  // claim none).
  static std::uint32_t UnclaimedRecent(const spool::Mailbox& box, const spool::MailboxIndex& index);
  // The number of the message with `uid`; nothing when the client does not know it.
  std::optional<std::uint32_t> numberOf(std::uint32_t uid) const;
  std::uint32_t largestUid() const { return messages_.empty() ? 0 : messages_.back().uid; }
  // The UIDs of `ranges` (ascending, as a resolved sequence set) below UIDNEXT that name no
  // message in this view: expunged, since no UID is given twice (QRESYNC's VANISHED (EARLIER)).
  std::vector<std::uint32_t> absentUids(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) const;

  // Brings the view in step with the mailbox and writes what the client is owed into `out`.
  // False when the mailbox was numbered anew or removed: the session cannot go on with it.
  bool update(std::string& out, const UpdateStyle& style);
  // The flags of message `number` (from 1) as this session changed them: told already.
  void noteFlags(std::uint32_t number, std::uint32_t flags, std::uint64_t keywords, std::uint64_t modseq);
  // New keywords the mailbox has: the FLAGS and PERMANENTFLAGS lines to send, empty when none.
  std::string keywordLines();

  // "(\Seen \Answered $Keyword)" for these flags.
  std::string flagList(std::uint32_t flags, std::uint64_t keywords, bool recent) const;
  // The FLAGS response and the PERMANENTFLAGS code's text.
  std::string flagsLine() const;
  std::string permanentFlags() const;
  // Whether there is anything this session has not seen yet (cheap: the mailbox's change count).
  bool changed() const { return box_->changeCount() != seenChanges_; }

 private:
  std::shared_ptr<spool::Mailbox> box_;
  bool readOnly_;
  bool claimRecent_;
  std::uint32_t uidValidity_ = 0;
  std::uint32_t uidNext_ = 1;
  std::uint64_t highestModseq_ = 0;
  std::uint64_t seenChanges_ = 0;
  std::vector<std::string> keywords_;
  std::vector<KnownMessage> messages_;
};

}  // namespace quelma::imap_server
