// The index beside a mailbox: UIDVALIDITY, UIDNEXT, HIGHESTMODSEQ and, per message, its UID,
// place and size, flags, MODSEQ and arrival time. It is a cache of the mailbox file plus the
// flags: on disk a snapshot followed by change records, each checked, so a torn last record
// is dropped and a damaged snapshot is noticed; then the mailbox file rebuilds it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::spool {

// The system flags a message keeps; \Recent belongs to a session, not to the mailbox.
namespace flag {
inline constexpr std::uint32_t kSeen = 1;
inline constexpr std::uint32_t kAnswered = 2;
inline constexpr std::uint32_t kFlagged = 4;
inline constexpr std::uint32_t kDeleted = 8;
inline constexpr std::uint32_t kDraft = 16;
inline constexpr std::uint32_t kAll = 31;
}  // namespace flag

inline constexpr std::size_t kMaxKeywords = 64;  // a mailbox's keywords, each a bit of a message

struct IndexedMessage {
  std::uint32_t uid = 0;
  std::uint64_t offset = 0;  // of its separator line in the mailbox file
  std::uint64_t size = 0;    // text bytes after the separator line
  std::uint32_t flags = 0;
  std::uint64_t keywords = 0;  // bit k: MailboxIndex::keywords[k]
  std::uint64_t modseq = 0;
  std::int64_t arrival = 0;  // seconds since 1970, UTC
  std::string id;            // the separator's id, or the id derived from the text (as UIDL gives it)
  bool operator==(const IndexedMessage&) const = default;
};

struct MailboxIndex {
  std::uint32_t uidValidity = 0;
  std::uint32_t uidNext = 1;
  std::uint64_t highestModseq = 0;
  std::uint64_t syncedSize = 0;  // the mailbox file's size the index describes
  std::vector<std::string> keywords;
  std::vector<IndexedMessage> messages;  // UIDs ascending, in file order
  // Expunged, but still in the file until it is compacted: no session sees them again, and a
  // scan of the file that finds them again knows them for what they are. UIDs ascending.
  std::vector<IndexedMessage> expunged;
  bool operator==(const MailboxIndex&) const = default;
};

// The snapshot form of the whole index.
std::string EncodeIndex(const MailboxIndex& index);

// A change record, appended after the snapshot. An expunged message leaves `messages` for
// `expunged`.
std::string EncodeAppended(const IndexedMessage& message, std::uint64_t syncedSize);
std::string EncodeFlags(std::uint32_t uid, std::uint32_t flags, std::uint64_t keywords, std::uint64_t modseq);
std::string EncodeExpunged(std::uint32_t uid, std::uint64_t modseq);
std::string EncodeKeyword(std::string_view name);

struct DecodedIndex {
  MailboxIndex index;
  std::size_t records = 0;  // change records replayed
  bool tornTail = false;    // bytes after the last whole record were left out
};

// The snapshot and every whole record after it; nothing when the snapshot is damaged, of a
// newer format, or the bytes are not an index at all.
std::optional<DecodedIndex> DecodeIndex(std::string_view bytes);

// A message as a scan of the mailbox file finds it.
struct ScannedMessage {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::string id;
};

struct IndexSync {
  MailboxIndex index;
  bool uidValidityChanged = false;
  std::size_t kept = 0, added = 0, expunged = 0;
};

// The index's messages and expunged ones together, in file order, as a scan finds them.
std::vector<ScannedMessage> MessagesInFile(const MailboxIndex& index);

// The index of the file as scanned, keeping what `old` knew: a message of `old` whose id and
// size are found again keeps its UID and flags; one not found is expunged; one new gets the
// next UID. When the kept messages' order changed, or a new one stands before a kept one, the
// UIDs cannot stay ascending: UIDVALIDITY becomes `freshUidValidity` (another value if that
// is the old one), every message is numbered again, and flags follow their messages' ids.
// A message `old` had expunged stays expunged while the file still holds it.
// `shapeNew`, when given, may set the flags, keywords and arrival of each new message (an
// APPEND's or a COPY's, known by its id) before it is recorded.
using NewMessageShaper = std::function<void(IndexedMessage&)>;
IndexSync SyncIndex(const std::optional<MailboxIndex>& old, const std::vector<ScannedMessage>& scanned,
                    std::uint64_t fileSize, std::int64_t now, std::uint32_t freshUidValidity,
                    const NewMessageShaper& shapeNew = {});

}  // namespace quelma::spool
