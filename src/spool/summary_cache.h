// The summaries of a mailbox's messages (their envelope and MIME structure), kept in a file
// beside its index and, once asked for, in memory too (about 100 bytes a message): made when
// first asked for, found again by UID, dropped with the UIDs they belong to. A cache: lost or
// damaged, it costs a parse of the message again, nothing else.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "mime/message_structure.h"

namespace quelma::spool {

// ".INBOX.summary" beside ".INBOX.index", ".NAME.summary" beside ".NAME.index".
std::string SummaryCachePath(const std::string& indexPath);

class SummaryCache {
 public:
  explicit SummaryCache(std::string path) : path_(std::move(path)) {}

  // The summary kept for message `uid` of `size` bytes under `uidValidity`; nothing when none
  // is kept (or the one kept was made for a message of another size, or cannot be read).
  std::optional<mime::MessagePart> find(std::uint32_t uidValidity, std::uint32_t uid, std::uint64_t size);
  // Keeps it, not synced: a crash may lose it, never tear another.
  void keep(std::uint32_t uidValidity, std::uint32_t uid, std::uint64_t size, const mime::MessagePart& summary);
  // After a compaction: the file written again without the summaries of messages not in
  // `liveUids` (ascending) when those are most of it.
  void prune(std::uint32_t uidValidity, const std::vector<std::uint32_t>& liveUids);

 private:
  struct Entry {
    std::size_t offset = 0;    // of the record
    std::uint32_t length = 0;  // of the record, its check included
    std::uint64_t size = 0;    // of the message it describes
  };
  bool ready(std::uint32_t uidValidity);
  bool load(std::uint32_t uidValidity);
  bool start(std::uint32_t uidValidity);

  const std::string path_;
  std::mutex mutex_;
  bool loaded_ = false;
  std::uint32_t uidValidity_ = 0;
  std::string bytes_;  // the file as far as its last whole record: where the next one goes
  std::unordered_map<std::uint32_t, Entry> entries_;
  std::uint64_t records_ = 0;  // in the file, those replaced by a later one included
};

}  // namespace quelma::spool
