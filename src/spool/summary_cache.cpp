// The summary cache file: "QMSC", a version byte and the UIDVALIDITY it belongs to, then
// records of UID, message size, summary length, the summary and four bytes of MD5 over the
// record; the reader stops at the first record that is not whole, and the next one written
// takes its place.
#include "spool/summary_cache.h"

#include "codec/md5.h"
#include "mime/structure_codec.h"
#include "platform/files.h"
#include "spool/little_endian.h"

namespace quelma::spool {
namespace {

constexpr std::string_view kMagic = "QMSC";
constexpr char kVersion = 1;
constexpr std::size_t kHeaderSize = 9;
constexpr std::size_t kRecordHead = 16;  // UID, message size, summary length
constexpr std::size_t kCheckBytes = 4;
constexpr std::uint32_t kLargestSummary = 16 * 1024 * 1024;
constexpr std::size_t kLargestFile = std::size_t{1} << 30;  // beyond: made anew
constexpr std::uint64_t kPruneFloor = 64;  // records no longer wanted before a rewrite pays

std::string Header(std::uint32_t uidValidity) {
  std::string out(kMagic);
  out.push_back(kVersion);
  PutLittleEndian(out, uidValidity);
  return out;
}

}  // namespace

std::string SummaryCachePath(const std::string& indexPath) {
  constexpr std::string_view kIndexSuffix = ".index";
  std::string_view stem(indexPath);
  if (stem.ends_with(kIndexSuffix)) stem.remove_suffix(kIndexSuffix.size());
  return std::string(stem) + ".summary";
}

std::optional<mime::MessagePart> SummaryCache::find(std::uint32_t uidValidity, std::uint32_t uid, std::uint64_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!ready(uidValidity)) return std::nullopt;
  const auto found = entries_.find(uid);
  if (found == entries_.end() || found->second.size != size) return std::nullopt;
  const Entry& e = found->second;
  return mime::DecodeStructure(std::string_view(bytes_).substr(e.offset + kRecordHead, e.length - kRecordHead - kCheckBytes));
}

void SummaryCache::keep(std::uint32_t uidValidity, std::uint32_t uid, std::uint64_t size,
                        const mime::MessagePart& summary) {
  const std::string encoded = mime::EncodeStructure(summary);
  if (encoded.size() > kLargestSummary) return;
  std::string out;
  PutLittleEndian(out, uid);
  PutLittleEndian(out, size);
  PutLittleEndian(out, static_cast<std::uint32_t>(encoded.size()));
  out += encoded;
  out += codec::Md5Check(out, kCheckBytes);
  std::lock_guard<std::mutex> hold(mutex_);
  if (!ready(uidValidity) || !platform::AppendToFile(path_, out, false)) {
    loaded_ = false;  // read again next time: what the file holds is not known now
    return;
  }
  entries_[uid] = {bytes_.size(), static_cast<std::uint32_t>(out.size()), size};
  bytes_ += out;
  ++records_;
}

void SummaryCache::prune(std::uint32_t uidValidity, const std::vector<std::uint32_t>& liveUids) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!platform::FileExists(path_) || !ready(uidValidity)) return;
  std::string out = Header(uidValidity);
  std::unordered_map<std::uint32_t, Entry> entries;
  for (const std::uint32_t uid : liveUids) {
    const auto found = entries_.find(uid);
    if (found == entries_.end()) continue;
    entries[uid] = {out.size(), found->second.length, found->second.size};
    out += std::string_view(bytes_).substr(found->second.offset, found->second.length);
  }
  if (records_ - entries.size() < kPruneFloor || records_ < 2 * entries.size()) return;
  if (platform::AtomicReplace(path_, out) != platform::WriteResult::kWritten) {
    loaded_ = false;
    return;
  }
  entries_ = std::move(entries);
  records_ = entries_.size();
  bytes_ = std::move(out);
}

bool SummaryCache::ready(std::uint32_t uidValidity) {
  if (loaded_ && uidValidity_ == uidValidity) return true;
  loaded_ = load(uidValidity) || start(uidValidity);
  return loaded_;
}

// The records of the file when it belongs to `uidValidity`, the file cut after the last whole one.
bool SummaryCache::load(std::uint32_t uidValidity) {
  entries_.clear();
  records_ = 0;
  bytes_.clear();
  auto whole = platform::ReadWholeFile(path_, kLargestFile);
  if (!whole || std::string_view(*whole).substr(0, kHeaderSize) != Header(uidValidity)) return false;
  std::size_t at = kHeaderSize;
  while (whole->size() - at >= kRecordHead + kCheckBytes) {
    const std::string_view rest = std::string_view(*whole).substr(at);
    const auto length = GetLittleEndian<std::uint32_t>(rest.substr(12));
    if (length > kLargestSummary || rest.size() < kRecordHead + length + kCheckBytes) break;
    const std::size_t checked = kRecordHead + length;
    if (codec::Md5Check(rest.substr(0, checked), kCheckBytes) != rest.substr(checked, kCheckBytes)) break;
    entries_[GetLittleEndian<std::uint32_t>(rest)] = {at, static_cast<std::uint32_t>(checked + kCheckBytes),
                                                      GetLittleEndian<std::uint64_t>(rest.substr(4))};
    at += checked + kCheckBytes;
    ++records_;
  }
  if (whole->size() > at && !platform::TruncateFile(path_, at)) return false;
  whole->resize(at);
  bytes_ = std::move(*whole);
  uidValidity_ = uidValidity;
  return true;
}

// A file of no records for `uidValidity`, in place of whatever was there.
bool SummaryCache::start(std::uint32_t uidValidity) {
  entries_.clear();
  records_ = 0;
  bytes_ = Header(uidValidity);
  auto out = platform::OutputFile::Create(path_, platform::CreateMode::kTruncate);
  if (!out || !out->write(bytes_) || !out->close()) return false;
  uidValidity_ = uidValidity;
  return true;
}

}  // namespace quelma::spool
