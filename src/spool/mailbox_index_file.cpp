// Reading, syncing and storing the index file of a mailbox.
#include "spool/mailbox_index_file.h"

#include <mutex>
#include <string_view>

#include "platform/files.h"
#include "spool/maildrop_file.h"
#include "spool/maildrop.h"
#include "spool/maildrop_locks.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kLargestIndex = 512 << 20;
constexpr char kInboxIndex[] = ".INBOX.index";

std::vector<ScannedMessage> ScanMailbox(const std::string& mailboxPath, std::uint64_t& size) {
  std::vector<ScannedMessage> scanned;
  size = 0;
  auto file = MaildropFile::Open(mailboxPath);
  if (!file) return scanned;
  file->buildIndexHeld();
  for (const MaildropMessage& m : file->messages()) scanned.push_back({m.separatorOffset, m.size, m.uid.value_or("")});
  size = platform::FileSize(mailboxPath).value_or(0);
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
  if (!file || !in || size < index.syncedSize || (index.messages.empty() && index.syncedSize != 0)) return std::nullopt;
  std::vector<ScannedMessage> scanned;
  for (const IndexedMessage& m : index.messages) scanned.push_back({m.offset, m.size, m.id});
  if (!index.messages.empty()) {
    const IndexedMessage& last = index.messages.back();
    if (last.id.size() != kSeparatorIdLength || !SeparatorAt(*in, last.offset, last.id)) return std::nullopt;
  }
  if (size == index.syncedSize) return scanned;
  // A separator where the index ended, at a line's start; else the last message grew.
  if (!SeparatorAt(*in, index.syncedSize, {}) || (index.syncedSize > 0 && !LineEndsAt(*in, index.syncedSize))) {
    return std::nullopt;
  }
  file->buildIndexHeld(index.syncedSize);
  for (const MaildropMessage& m : file->messages()) {
    // An id made from the text could equal one the index has: the whole file tells them apart.
    if (!m.uid || m.uid->size() != kSeparatorIdLength) return std::nullopt;
    scanned.push_back({m.separatorOffset, m.size, *m.uid});
  }
  return scanned;
}

bool Store(const std::string& indexPath, const std::string& bytes, bool append) {
  if (!append) return platform::AtomicReplace(indexPath, bytes) == platform::WriteResult::kWritten;
  auto out = platform::OutputFile::Create(indexPath, platform::CreateMode::kAppend);
  return out && out->write(bytes) && out->close();
}

}  // namespace

std::string UserFolderOf(const std::string& maildropPath) { return maildropPath + ".folders/"; }

std::string InboxIndexPath(const std::string& maildropPath) { return UserFolderOf(maildropPath) + kInboxIndex; }

std::optional<SyncedIndex> SyncMailboxIndex(const std::string& mailboxPath, const std::string& indexPath,
                                            std::int64_t now, std::uint32_t freshUidValidity) {
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(mailboxPath));
  SyncedIndex synced;
  const auto bytes = platform::ReadWholeFile(indexPath, kLargestIndex);
  std::optional<DecodedIndex> decoded = bytes ? DecodeIndex(*bytes) : std::nullopt;
  synced.damaged = bytes.has_value() && !decoded;
  synced.rebuilt = !decoded;
  std::uint64_t size = 0;
  std::optional<std::vector<ScannedMessage>> grown;
  if (decoded && !decoded->tornTail) grown = ScanGrown(mailboxPath, decoded->index, size);
  const std::vector<ScannedMessage> scanned = grown ? std::move(*grown) : ScanMailbox(mailboxPath, size);
  std::optional<MailboxIndex> old;
  if (decoded) old = decoded->index;
  IndexSync sync = SyncIndex(old, scanned, size, now, freshUidValidity);
  synced.uidValidityChanged = sync.uidValidityChanged;
  synced.added = sync.added;
  synced.expunged = sync.expunged;
  synced.index = std::move(sync.index);
  // Only new messages at the end, after an index read whole: records after it will do.
  const bool onlyAppended = decoded && !decoded->tornTail && !sync.uidValidityChanged && sync.expunged == 0;
  if (onlyAppended && synced.added == 0 && synced.index.syncedSize == decoded->index.syncedSize) return synced;
  if (!platform::IsDirectory(UserFolderOf(mailboxPath)) && !platform::MakeDirectory(UserFolderOf(mailboxPath))) {
    return std::nullopt;
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
  if (!Store(indexPath, out, onlyAppended && synced.added > 0)) return std::nullopt;
  return synced;
}

}  // namespace quelma::spool
