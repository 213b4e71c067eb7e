// Scanning a maildrop for its separators, streaming message text, and the commit at QUIT.
#include "pop3_server/maildrop_file.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "pop3_server/maildrop.h"

namespace quelma::pop3_server {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kUidOffset = kMaildropMarker.size() + 1;
constexpr std::size_t kUidLength = 8;

// Calls `onLine(start, firstBytes, length)` for every line of the file, where firstBytes
// holds up to 32 bytes of the line's beginning; the last line may lack its line feed.
template <typename OnLine>
std::uint64_t ForEachLine(platform::InputFile& file, OnLine onLine) {
  std::vector<char> buffer(kChunk);
  std::uint64_t pos = 0, lineStart = 0;
  std::string head;
  file.seek(0);
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

std::optional<MaildropFile> MaildropFile::Open(const std::string& path) {
  auto file = platform::InputFile::Open(path);
  if (!file) return std::nullopt;
  return MaildropFile(path, std::move(*file));
}

void MaildropFile::buildIndex() {
  messages_.clear();
  std::lock_guard<std::mutex> hold(MaildropLock(path_));
  indexedEnd_ = ForEachLine(*file_, [&](std::uint64_t start, const std::string& head, std::uint64_t length) {
    if (std::string_view(head).starts_with(kMaildropMarker)) {
      messages_.push_back(MaildropMessage{start, start + length, 0, false, UidOf(head)});
    } else if (!messages_.empty()) {
      messages_.back().size += length;
    }
  });
}

bool MaildropFile::sendText(std::string_view status, const MaildropMessage& m, platform::ReplySink& sink,
                           std::optional<std::uint64_t> topLines) {
  std::vector<char> buffer(kChunk);
  std::string out(status);
  out.reserve(kChunk + kChunk / 2);
  bool atLineStart = true, inHeader = true, stop = false;
  std::uint64_t lineLength = 0, bodyLines = 0, left = m.size;
  char firstByte = 0, lastByte = '\n';
  file_->seek(m.textOffset);
  while (left > 0 && !stop) {
    const std::size_t n = file_->read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
    if (n == 0) break;
    left -= n;
    for (std::size_t i = 0; i < n && !stop;) {
      if (atLineStart) {
        if (buffer[i] == '.') out.push_back('.');
        atLineStart = false;
        lineLength = 0;
        firstByte = buffer[i];
      }
      const char* nl = static_cast<const char*>(std::memchr(buffer.data() + i, '\n', n - i));
      const std::size_t end = nl ? static_cast<std::size_t>(nl - buffer.data()) + 1 : n;
      out.append(buffer.data() + i, end - i);
      lineLength += end - i;
      lastByte = buffer[end - 1];
      i = end;
      if (!nl) continue;
      atLineStart = true;
      if (topLines) {
        if (inHeader) {
          inHeader = !(lineLength == 2 && firstByte == '\r');
          stop = !inHeader && *topLines == 0;
        } else {
          stop = ++bodyLines >= *topLines;
        }
      }
    }
    if (out.size() >= kChunk) {
      if (!sink.send(out)) return false;
      out.clear();
    }
  }
  if (lastByte != '\n') out += "\r\n";
  out += ".\r\n";
  return sink.send(out);
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

CommitResult MaildropFile::commit(const std::string& temporaryPath) {
  std::lock_guard<std::mutex> hold(MaildropLock(path_));
  // Nothing deleted and no stray text in front: the rewrite would copy the file as it is.
  const bool unchanged = std::none_of(messages_.begin(), messages_.end(), [](const auto& m) { return m.deleted; });
  if (unchanged && !messages_.empty() && messages_.front().separatorOffset == 0) {
    file_.reset();
    return CommitResult::kCommitted;
  }
  const std::uint64_t currentEnd = platform::FileSize(path_).value_or(indexedEnd_);
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
    return platform::RemoveFile(path_) ? CommitResult::kCommitted : CommitResult::kDeleteFailed;
  }
  if (!platform::RenameReplacing(temporaryPath, path_)) {
    platform::RemoveFile(temporaryPath);
    return CommitResult::kFailed;
  }
  return CommitResult::kCommitted;
}

}  // namespace quelma::pop3_server
