// The file steps of a compaction and the index after it.
#include "spool/mailbox_compaction.h"

#include <algorithm>
#include <vector>

#include "platform/files.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kChunk = 256 * 1024;

bool CopyRange(platform::InputFile& in, platform::OutputFile& out, std::uint64_t begin, std::uint64_t end) {
  std::vector<char> buffer(kChunk);
  if (!in.seek(begin)) return false;
  while (begin < end) {
    const std::size_t n = in.read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, kChunk)));
    if (n == 0 || !out.write(std::string_view(buffer.data(), n))) return false;
    begin += n;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> TailCut(const MailboxIndex& index) {
  if (index.expunged.empty()) return std::nullopt;
  if (index.messages.empty()) return 0;  // text in front of the first message is no message's
  const std::uint64_t firstGone = std::min_element(index.expunged.begin(), index.expunged.end(), [](const auto& a, const auto& b) {
                                    return a.offset < b.offset;
                                  })->offset;
  if (!index.messages.empty() && index.messages.back().offset > firstGone) return std::nullopt;
  return firstGone;
}

std::optional<CompactedCopy> WriteCompactedCopy(const std::string& mailboxPath, const MailboxIndex& index,
                                                const std::string& workPath) {
  auto in = platform::InputFile::Open(mailboxPath);
  if (!in) return std::nullopt;
  auto out = platform::OutputFile::Create(workPath, platform::CreateMode::kTruncate);
  if (!out) return std::nullopt;
  const std::vector<ScannedMessage> all = MessagesInFile(index);
  CompactedCopy copy;
  std::size_t live = 0;  // index.messages is in file order too
  bool ok = true;
  for (std::size_t i = 0; i < all.size() && ok; ++i) {
    if (live >= index.messages.size() || index.messages[live].offset != all[i].offset) continue;
    const std::uint64_t end = i + 1 < all.size() ? all[i + 1].offset : index.syncedSize;
    ok = end > all[i].offset;  // an index that is not the file's is never copied by
    if (!ok) break;
    copy.offsets[index.messages[live++].uid] = copy.size;
    ok = CopyRange(*in, *out, all[i].offset, end);
    copy.size += end - all[i].offset;
  }
  ok = ok && out->sync() && out->close();
  if (!ok) {
    out.reset();
    platform::RemoveFile(workPath);
    return std::nullopt;
  }
  return copy;
}

bool AppendRange(const std::string& mailboxPath, std::uint64_t begin, std::uint64_t end, const std::string& workPath) {
  auto in = platform::InputFile::Open(mailboxPath);
  auto out = platform::OutputFile::Create(workPath, platform::CreateMode::kAppend);
  return in && out && CopyRange(*in, *out, begin, end) && out->sync() && out->close();
}

CompactedCopy TailKept(const MailboxIndex& index, std::uint64_t cut) {
  CompactedCopy kept{{}, cut};
  for (const auto* list : {&index.messages, &index.expunged}) {
    for (const IndexedMessage& m : *list) {
      if (m.offset < cut) kept.offsets[m.uid] = m.offset;
    }
  }
  return kept;
}

bool CutMailboxFile(const std::string& mailboxPath, std::uint64_t cut, bool remove) {
  if (remove) return platform::RemoveFile(mailboxPath) && platform::SyncParentDirectory(mailboxPath);
  auto file = platform::OutputFile::Create(mailboxPath, platform::CreateMode::kAppend);
  return file && file->truncate(cut) && file->sync() && file->close();
}

WorkFile::~WorkFile() {
  if (platform::FileExists(path_)) platform::RemoveFile(path_);
}

MailboxIndex CompactedIndex(const MailboxIndex& current, const CompactedCopy& copy) {
  MailboxIndex index = current;
  index.syncedSize = copy.size;
  for (auto* list : {&index.messages, &index.expunged}) {
    std::erase_if(*list, [&copy](const IndexedMessage& m) { return !copy.offsets.contains(m.uid); });
    for (IndexedMessage& m : *list) m.offset = copy.offsets.at(m.uid);
  }
  return index;
}

}  // namespace quelma::spool
