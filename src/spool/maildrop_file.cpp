// Scanning a maildrop for its separators.
#include "spool/maildrop_file.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "codec/md5.h"
#include "spool/maildrop.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kUidOffset = kMaildropMarker.size() + 1;
constexpr std::size_t kUidLength = kSeparatorIdLength;

// Calls `onLine(start, firstBytes, length)` for every line of the file, where firstBytes
// holds up to 32 bytes of the line's beginning; the last line may lack its line feed.
template <typename OnLine>
std::uint64_t ForEachLine(platform::InputFile& file, std::uint64_t from, std::uint64_t to, OnLine onLine) {
  std::vector<char> buffer(kChunk);
  std::uint64_t pos = from, lineStart = from;
  std::string head;
  if (!file.seek(from)) return from;
  while (pos < to) {
    const std::size_t n = file.read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - pos)));
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

void MaildropFile::buildIndexHeld(std::uint64_t from, std::uint64_t to) {
  messages_.clear();
  std::lock_guard<std::mutex> hold(MaildropLock(path_));
  ForEachLine(*file_, from, to, [&](std::uint64_t start, const std::string& head, std::uint64_t length) {
    if (std::string_view(head).starts_with(kMaildropMarker)) {
      messages_.push_back(MaildropMessage{start, start + length, 0, UidOf(head)});
    } else if (!messages_.empty()) {
      messages_.back().size += length;
    }
  });
  deriveMissingIds();
}

}  // namespace quelma::spool
