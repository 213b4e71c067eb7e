// Scanning a maildrop for its separators, reading message text, and the commit at QUIT.
#include "spool/maildrop_file.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "codec/md5.h"
#include "spool/delivery.h"
#include "spool/maildrop.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kUidOffset = kMaildropMarker.size() + 1;
constexpr std::size_t kUidLength = kSeparatorIdLength;

// Calls `onLine(start, firstBytes, length)` for every line of the file, where firstBytes
// holds up to 32 bytes of the line's beginning; the last line may lack its line feed.
template <typename OnLine>
std::uint64_t ForEachLine(platform::InputFile& file, std::uint64_t from, OnLine onLine) {
  std::vector<char> buffer(kChunk);
  std::uint64_t pos = from, lineStart = from;
  std::string head;
  if (!file.seek(from)) return from;
  for (;;) {
    const std::size_t n = file.read(buffer.data(), buffer.size());
    if (n == 0) break;
    std::size_t i = 0;
    while (i < n) {
      const char* nl = static_cast<const char*>(std::memchr(buffer.data() + i, '\n', n - i));
      const std::size_t segmentEnd = nl ? static_cast<std::size_t>(nl - buffer.data()) + 1 : n;
      if (head.size() < 32) head.append(buffer.data() + i, std::min(segmentEnd - i, 32 - head.size()));
      pos += segmentEnd - i;
      i = segmentEnd;
      if (nl) {
        onLine(lineStart, head, pos - lineStart);
        lineStart = pos;
        head.clear();
      }
    }
  }
  if (pos > lineStart) onLine(lineStart, head, pos - lineStart);
  return pos;
}

std::optional<std::string> UidOf(const std::string& head) {
  std::string_view line(head);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() < kUidOffset + kUidLength) return std::nullopt;
  return std::string(line.substr(kUidOffset, kUidLength));
}

}  // namespace

// A message stored without an id of its own (a separator of the short form, as older notices
// have) gets one from its text: the same in every session until it is deleted. Messages of
// the same text are told apart by their order.
void MaildropFile::deriveMissingIds() {
  std::map<std::string, int> seen;
  std::vector<char> buffer(kChunk);
  for (MaildropMessage& m : messages_) {
    if (m.uid) continue;
    codec::MD5Context context;
    codec::MD5Init(context);
    std::uint64_t left = m.size;
    if (file_->seek(m.textOffset)) {
      while (left > 0) {
        const std::size_t n =
            file_->read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
        if (n == 0) break;
        codec::MD5Update(context, buffer.data(), static_cast<std::uint32_t>(n));
        left -= n;
      }
    }
    codec::Md5Digest digest;
    codec::MD5Final(digest, context);
    std::string id = "T" + codec::DigestToHex(digest);
    if (const int k = ++seen[id]; k > 1) id += "-" + std::to_string(k);
    m.uid = std::move(id);
  }
}

std::optional<MaildropFile> MaildropFile::Open(const std::string& path) {
  auto file = platform::InputFile::Open(path);
  if (!file) return std::nullopt;
  return MaildropFile(path, std::move(*file));
}

void MaildropFile::buildIndex() {
  // Between deliveries to it only: an unfinished one is never indexed nor copied.
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(path_));
  buildIndexHeld();
}

void MaildropFile::buildIndexHeld(std::uint64_t from) {
  messages_.clear();
  std::lock_guard<std::mutex> hold(MaildropLock(path_));
  indexedEnd_ = ForEachLine(*file_, from, [&](std::uint64_t start, const std::string& head, std::uint64_t length) {
    if (std::string_view(head).starts_with(kMaildropMarker)) {
      messages_.push_back(MaildropMessage{start, start + length, 0, false, UidOf(head)});
    } else if (!messages_.empty()) {
      messages_.back().size += length;
    }
  });
  deriveMissingIds();
}

MaildropFile::ReadResult MaildropFile::readText(const MaildropMessage& m,
                                                const std::function<bool(std::string_view piece)>& onPiece) {
  std::vector<char> buffer(kChunk);
  std::uint64_t left = m.size;
  if (!file_->seek(m.textOffset)) return ReadResult::kReadFailed;
  while (left > 0) {
    const std::size_t n = file_->read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
    if (n == 0) return ReadResult::kReadFailed;  // the index promised more: a read error
    left -= n;
    if (!onPiece(std::string_view(buffer.data(), n))) return ReadResult::kStopped;
  }
  return ReadResult::kWhole;
}

bool MaildropFile::copyRange(platform::OutputFile& out, std::uint64_t begin, std::uint64_t end) {
  std::vector<char> buffer(kChunk);
  if (!file_->seek(begin)) return false;
  while (begin < end) {
    const std::size_t n = file_->read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, kChunk)));
    if (n == 0 || !out.write(std::string_view(buffer.data(), n))) return false;
    begin += n;
  }
  return true;
}

// The maildrop goes, for good: a removal that a crash could undo would bring deleted mail back.
CommitResult MaildropFile::removeMaildrop() {
  const bool removed = platform::RemoveFile(path_) && platform::SyncParentDirectory(path_);
  return removed ? CommitResult::kCommitted : CommitResult::kDeleteFailed;
}

CommitResult MaildropFile::commit(const std::string& temporaryPath) {
  // Between deliveries to it only: an unfinished one is never indexed nor copied.
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(path_));
  std::lock_guard<std::mutex> hold(MaildropLock(path_));
  // A delivery that recovery has yet to finish may cut the file back to its old size: a
  // rewrite now would have it cut the wrong bytes.
  if (MaildropAwaitsRecovery(path_)) {
    file_.reset();
    return CommitResult::kFailed;
  }
  // Nothing deleted and no stray text in front: the rewrite would copy the file as it is.
  const bool unchanged = std::none_of(messages_.begin(), messages_.end(), [](const auto& m) { return m.deleted; });
  if (unchanged && !messages_.empty() && messages_.front().separatorOffset == 0) {
    file_.reset();
    return CommitResult::kCommitted;
  }
  const std::uint64_t currentEnd = platform::FileSize(path_).value_or(indexedEnd_);
  // Everything deleted and nothing new: the maildrop goes, with no rewrite to make first (the
  // lock above holds every delivery and every other commit meanwhile).
  const bool allDeleted = std::all_of(messages_.begin(), messages_.end(), [](const auto& m) { return m.deleted; });
  if (allDeleted && currentEnd == indexedEnd_) {
    file_.reset();
    return removeMaildrop();
  }
  auto out = platform::OutputFile::Create(temporaryPath, platform::CreateMode::kTruncate);
  if (!out) return CommitResult::kFailed;
  bool ok = true;
  std::uint64_t kept = 0;
  for (std::size_t i = 0; i < messages_.size() && ok; ++i) {
    if (messages_[i].deleted) continue;
    const std::uint64_t end = i + 1 < messages_.size() ? messages_[i + 1].separatorOffset : indexedEnd_;
    ok = copyRange(*out, messages_[i].separatorOffset, end);
    kept += end - messages_[i].separatorOffset;
  }
  // Mail that arrived after the index was built goes over as it stands.
  if (ok && currentEnd > indexedEnd_) {
    ok = copyRange(*out, indexedEnd_, currentEnd);
    kept += currentEnd - indexedEnd_;
  }
  ok = ok && out->sync() && out->close();
  file_.reset();
  if (!ok) {
    out.reset();
    platform::RemoveFile(temporaryPath);
    return CommitResult::kFailed;
  }
  if (kept == 0) {
    platform::RemoveFile(temporaryPath);
    return removeMaildrop();
  }
  if (!platform::RenameReplacing(temporaryPath, path_)) {
    platform::RemoveFile(temporaryPath);
    return CommitResult::kFailed;
  }
  return CommitResult::kCommitted;
}

}  // namespace quelma::spool
