// Compacting a mailbox file: its expunged messages taken out, either by cutting the file short
// (they all lie at its end) or by a copy of the rest that replaces it; and the index that
// matches the file afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "spool/mailbox_index.h"

namespace quelma::spool {

// Where the file can be cut when every expunged message lies after every other one: the
// first expunged message's separator, or 0 when no message is left. Nothing otherwise.
std::optional<std::uint64_t> TailCut(const MailboxIndex& index);

// The file's messages that are not expunged, each from its separator to the next message,
// copied into `workPath` and synced. Their new places by UID, and the new file's size.
struct CompactedCopy {
  std::map<std::uint32_t, std::uint64_t> offsets;
  std::uint64_t size = 0;
};
std::optional<CompactedCopy> WriteCompactedCopy(const std::string& mailboxPath, const MailboxIndex& index,
                                                const std::string& workPath);

// Adds the bytes [begin, end) of the mailbox file to the end of the copy, synced.
bool AppendRange(const std::string& mailboxPath, std::uint64_t begin, std::uint64_t end, const std::string& workPath);

// The messages of `index` before `cut` (expunged ones too) at their places: what a cut keeps.
CompactedCopy TailKept(const MailboxIndex& index, std::uint64_t cut);

// The mailbox file cut at `cut`, or removed (`remove`), synced.
bool CutMailboxFile(const std::string& mailboxPath, std::uint64_t cut, bool remove);

// A work file that goes when its holder does, unless it was renamed away.
class WorkFile {
 public:
  explicit WorkFile(std::string path) : path_(std::move(path)) {}
  ~WorkFile();
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// `current` for the compacted file: every message the copy kept at its new place, expunged
// ones the copy kept too (they were expunged while it was made), the rest left out.
MailboxIndex CompactedIndex(const MailboxIndex& current, const CompactedCopy& copy);

}  // namespace quelma::spool
