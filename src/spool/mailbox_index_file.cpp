// Reading, syncing and storing the index file of a mailbox.
#include "spool/mailbox_index_file.h"

#include <mutex>
#include <string_view>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_tick.h"
#include "spool/queue_file.h"
#include "spool/maildrop_file.h"
#include "spool/maildrop.h"
#include "spool/maildrop_locks.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kLargestIndex = 512 << 20;
constexpr char kInboxIndex[] = ".INBOX.index";
constexpr std::string_view kFoldersSuffix = ".folders";
constexpr char kIndexSuffix[] = ".index";

std::vector<ScannedMessage> ScanMailbox(const std::string& mailboxPath, std::uint64_t& size) {
  std::vector<ScannedMessage> scanned;
  size = 0;
  auto file = MaildropFile::Open(mailboxPath);
  if (!file) return scanned;
  // The size first, and the scan up to it: what was added meanwhile is for the next sync.
  size = platform::FileSize(mailboxPath).value_or(0);
  file->buildIndexHeld(0, size);
  for (const MaildropMessage& m : file->messages()) scanned.push_back({m.separatorOffset, m.size, m.uid.value_or("")});
  return scanned;
}

// Whether `file` holds a separator line at `offset`, with `id` when one is given.
bool SeparatorAt(platform::InputFile& file, std::uint64_t offset, std::string_view id) {
  std::string head(kMaildropMarker.size() + 1 + kSeparatorIdLength, '\0');
  if (!file.seek(offset)) return false;
  head.resize(file.read(head.data(), head.size()));
  if (!std::string_view(head).starts_with(kMaildropMarker)) return false;
  return id.empty() || std::string_view(head).substr(kMaildropMarker.size() + 1) == id;
}

// Whether the byte before `offset` ends a line.
bool LineEndsAt(platform::InputFile& file, std::uint64_t offset) {
  char byte = 0;
  return file.seek(offset - 1) && file.read(&byte, 1) == 1 && byte == '\n';
}

// The messages of the file when it only grew since the index was written (the index's last
// message still where it was, and a new separator where the index ended): the known ones as
// the index has them and the new ones scanned from there, so a delivery costs what it added.
// Nothing when that cannot be told so cheaply; the whole file is scanned then.
std::optional<std::vector<ScannedMessage>> ScanGrown(const std::string& mailboxPath, const MailboxIndex& index,
                                                     std::uint64_t& size) {
  auto file = MaildropFile::Open(mailboxPath);
  auto in = platform::InputFile::Open(mailboxPath);
  size = platform::FileSize(mailboxPath).value_or(0);
  std::vector<ScannedMessage> scanned = MessagesInFile(index);
  if (!file || !in || size < index.syncedSize || (scanned.empty() && index.syncedSize != 0)) return std::nullopt;
  if (!scanned.empty()) {
    const ScannedMessage& last = scanned.back();
    if (last.id.size() != kSeparatorIdLength || !SeparatorAt(*in, last.offset, last.id)) return std::nullopt;
  }
  if (size == index.syncedSize) return scanned;
  // A separator where the index ended, at a line's start; else the last message grew.
  if (!SeparatorAt(*in, index.syncedSize, {}) || (index.syncedSize > 0 && !LineEndsAt(*in, index.syncedSize))) {
    return std::nullopt;
  }
  file->buildIndexHeld(index.syncedSize, size);
  for (const MaildropMessage& m : file->messages()) {
    // An id made from the text could equal one the index has: the whole file tells them apart.
    if (!m.uid || m.uid->size() != kSeparatorIdLength) return std::nullopt;
    scanned.push_back({m.separatorOffset, m.size, *m.uid});
  }
  return scanned;
}

// The file is exactly as the index knows it (its size, and its last message where the index
// says): the index needs nothing from it. The common case of a mailbox opened again.
bool FileAsKnown(const std::string& mailboxPath, const MailboxIndex& index) {
  const auto size = platform::FileSize(mailboxPath);
  if (!size || *size != index.syncedSize || index.syncedSize == 0) return false;
  const IndexedMessage* last = nullptr;
  for (const auto* list : {&index.messages, &index.expunged}) {
    for (const IndexedMessage& m : *list) {
      if (!last || m.offset > last->offset) last = &m;
    }
  }
  if (!last || last->id.size() != kSeparatorIdLength || !MaildropFile::Open(mailboxPath)) return false;
  auto in = platform::InputFile::Open(mailboxPath);
  return in && SeparatorAt(*in, last->offset, last->id);
}

// A compaction that a crash cut short left its new index beside the old one: it is the index
// when the compacted file took the old one's place (the file is exactly as it says: its size,
// and its last message where it says), and nothing otherwise.
void TakeOrDropReplacement(const std::string& mailboxPath, const std::string& indexPath) {
  const std::string next = IndexReplacementPath(indexPath);
  if (!platform::FileExists(next)) return;
  const auto bytes = platform::ReadWholeFile(next, kLargestIndex);
  const auto decoded = bytes ? DecodeIndex(*bytes) : std::nullopt;
  bool matches = false;
  if (decoded && !decoded->tornTail && decoded->records == 0) {
    const std::vector<ScannedMessage> all = MessagesInFile(decoded->index);
    const auto size = platform::FileSize(mailboxPath);
    auto in = platform::InputFile::Open(mailboxPath);
    matches = decoded->index.syncedSize == size.value_or(0) &&
              (all.empty() || (in && SeparatorAt(*in, all.back().offset, all.back().id.size() == kSeparatorIdLength
                                                                             ? std::string_view(all.back().id)
                                                                             : std::string_view())));
  }
  if (!matches || !platform::RenameReplacing(next, indexPath)) platform::RemoveFile(next);
}

bool Store(const std::string& indexPath, const std::string& bytes, bool append) {
  if (!append) return platform::AtomicReplace(indexPath, bytes) == platform::WriteResult::kWritten;
  auto out = platform::OutputFile::Create(indexPath, platform::CreateMode::kAppend);
  return out && out->write(bytes) && out->close();
}

}  // namespace

std::string UserFolderOf(const std::string& maildropPath) {
  return maildropPath + std::string(kFoldersSuffix) + platform::kPathSeparator;
}

bool MailboxIndexHasExpunged(const std::string& indexPath) {
  const auto bytes = platform::ReadWholeFile(indexPath, kLargestIndex);
  const auto decoded = bytes ? DecodeIndex(*bytes) : std::nullopt;
  return decoded && !decoded->index.expunged.empty();
}

bool IsFolderFile(const std::string& mailboxPath) {
  const std::size_t slash = mailboxPath.find_last_of("/\\");
  return slash != std::string::npos && std::string_view(mailboxPath).substr(0, slash).ends_with(kFoldersSuffix);
}

std::string MailboxIndexPath(const std::string& mailboxPath) {
  if (!IsFolderFile(mailboxPath)) return InboxIndexPath(mailboxPath);
  const std::size_t slash = mailboxPath.find_last_of("/\\");
  return mailboxPath.substr(0, slash + 1) + "." + mailboxPath.substr(slash + 1) + kIndexSuffix;
}

std::string MailboxWorkPath(const std::string& mailboxPath) {
  std::string dir = mailboxPath.substr(0, mailboxPath.find_last_of("/\\") + 1);
  if (IsFolderFile(mailboxPath)) {
    dir.pop_back();
    dir = dir.substr(0, dir.find_last_of("/\\") + 1);
  }
  return dir + kCommitWorkPrefix + QueueFileName(platform::ProcessUniqueTicks().next()) + ".tmp";
}

std::string IndexReplacementPath(const std::string& indexPath) { return indexPath + ".new"; }

std::string InboxIndexPath(const std::string& maildropPath) { return UserFolderOf(maildropPath) + kInboxIndex; }

SyncedIndex SyncMailboxIndex(const std::string& mailboxPath, const std::string& indexPath,
                                            std::int64_t now, std::uint32_t freshUidValidity) {
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(mailboxPath));
  return SyncMailboxIndexHeld(mailboxPath, indexPath, now, freshUidValidity, nullptr);
}

SyncedIndex SyncMailboxIndexHeld(const std::string& mailboxPath, const std::string& indexPath,
                                                std::int64_t now, std::uint32_t freshUidValidity,
                                                const MailboxIndex* known, const NewMessageShaper& shapeNew) {
  SyncedIndex synced;
  if (known && FileAsKnown(mailboxPath, *known)) {
    synced.unchanged = true;
    return synced;
  }
  std::optional<std::string> bytes;
  std::optional<DecodedIndex> decoded;
  if (known) {
    decoded = DecodedIndex{*known};
  } else {
    TakeOrDropReplacement(mailboxPath, indexPath);
    bytes = platform::ReadWholeFile(indexPath, kLargestIndex);
    if (bytes) decoded = DecodeIndex(*bytes);
  }
  synced.damaged = bytes.has_value() && !decoded;
  synced.rebuilt = !decoded;
  std::uint64_t size = 0;
  std::optional<std::vector<ScannedMessage>> grown;
  if (decoded && !decoded->tornTail) grown = ScanGrown(mailboxPath, decoded->index, size);
  const std::vector<ScannedMessage> scanned = grown ? std::move(*grown) : ScanMailbox(mailboxPath, size);
  std::optional<MailboxIndex> old;
  if (decoded) old = decoded->index;
  IndexSync sync = SyncIndex(old, scanned, size, now, freshUidValidity, shapeNew);
  synced.uidValidityChanged = sync.uidValidityChanged;
  synced.added = sync.added;
  synced.expunged = sync.expunged;
  synced.index = std::move(sync.index);
  // Only new messages at the end, after an index read whole: records after it will do.
  const bool onlyAppended = decoded && !decoded->tornTail && !sync.uidValidityChanged && sync.expunged == 0;
  if (onlyAppended && synced.added == 0 && synced.index.syncedSize == decoded->index.syncedSize) return synced;
  const std::string folder = indexPath.substr(0, indexPath.find_last_of("/\\") + 1);
  if (!platform::IsDirectory(folder) && !platform::MakeDirectory(folder)) {
    synced.stored = false;
    return synced;
  }
  std::string out;
  if (onlyAppended) {
    for (std::size_t i = synced.index.messages.size() - synced.added; i < synced.index.messages.size(); ++i) {
      const std::uint64_t end = i + 1 < synced.index.messages.size() ? synced.index.messages[i + 1].offset : size;
      out += EncodeAppended(synced.index.messages[i], end);
    }
    if (synced.added == 0) out = EncodeIndex(synced.index);  // the size alone changed: a torn tail went
  } else {
    out = EncodeIndex(synced.index);
  }
  synced.stored = Store(indexPath, out, onlyAppended && synced.added > 0);
  return synced;
}

}  // namespace quelma::spool
