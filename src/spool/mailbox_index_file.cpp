// Reading, syncing and storing the index file of a mailbox.
#include "spool/mailbox_index_file.h"

#include <mutex>

#include "platform/files.h"
#include "spool/maildrop_file.h"
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
  const std::vector<ScannedMessage> scanned = ScanMailbox(mailboxPath, size);
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
