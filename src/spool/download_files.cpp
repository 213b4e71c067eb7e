// Download files: their names, publication, and the list of what waits to be sorted.
#include "spool/download_files.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "codec/md5.h"

namespace quelma::spool {
namespace {

constexpr std::string_view kPublished = ".popfile";
constexpr std::string_view kUnpublished = ".popfile.part";
constexpr std::size_t kWriteAt = 256 * 1024;  // small pieces are gathered up to this
constexpr std::size_t kWrittenAsIs = 32 * 1024;  // a piece this large is written without a copy

}  // namespace

std::string MailTxtPath(const std::string& programDir) { return programDir + "mail.txt"; }

std::string AccountKey(std::string_view server, std::string_view login) {
  const std::string both = std::string(server) + "\n" + std::string(login);
  return codec::DigestToHex(codec::Md5Of(both)).substr(0, 8);
}

std::string DownloadFilePartPath(const std::string& programDir, const std::string& accountKey, std::uint64_t number) {
  return programDir + accountKey + "-" + std::to_string(number) + std::string(kUnpublished);
}

std::optional<DownloadFile> DownloadFile::Create(const std::string& programDir, const std::string& accountKey,
                                                 std::uint64_t number) {
  const std::string part = DownloadFilePartPath(programDir, accountKey, number);
  auto file = platform::OutputFile::Create(part, platform::CreateMode::kTruncate);
  if (!file) return std::nullopt;
  const std::string published = part.substr(0, part.size() - kUnpublished.size()) + std::string(kPublished);
  return DownloadFile(part, published, std::move(*file));
}

DownloadFile::DownloadFile(DownloadFile&& other) noexcept
    : partPath_(std::move(other.partPath_)),
      finalPath_(std::move(other.finalPath_)),
      file_(std::exchange(other.file_, std::nullopt)),
      size_(other.size_),
      synced_(other.synced_),
      buffer_(std::move(other.buffer_)) {}

DownloadFile& DownloadFile::operator=(DownloadFile&& other) noexcept {
  if (this != &other) {
    discard();
    partPath_ = std::move(other.partPath_);
    finalPath_ = std::move(other.finalPath_);
    file_ = std::exchange(other.file_, std::nullopt);
    size_ = other.size_;
    synced_ = other.synced_;
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

DownloadFile::~DownloadFile() { discard(); }

void DownloadFile::discard() {
  if (!file_) return;
  file_.reset();
  platform::RemoveFile(partPath_);
}

bool DownloadFile::write(std::string_view bytes) {
  size_ += bytes.size();
  if (bytes.size() < kWrittenAsIs) {
    buffer_ += bytes;
    return buffer_.size() < kWriteAt || flush();
  }
  // A large piece goes out after what is held, without a copy of it.
  return flush() && file_->write(bytes);
}

bool DownloadFile::flush() {
  const bool written = file_ && (buffer_.empty() || file_->write(buffer_));
  buffer_.clear();
  return written;
}

bool DownloadFile::sync(std::optional<std::uint64_t> keep) {
  synced_ = flush() && (!keep || *keep >= size_ || file_->truncate(*keep)) && file_->sync();
  if (!synced_) discard();
  return synced_;
}

bool DownloadFile::publish(std::optional<std::uint64_t> keep) {
  if (!synced_ && !sync(keep)) return false;
  if (!file_->close() || !platform::RenameReplacing(partPath_, finalPath_)) {
    discard();
    return false;
  }
  file_.reset();  // the rename synced the new name already
  return true;
}

std::uint64_t NextDownloadFileNumber(const std::string& programDir, const std::string& accountKey) {
  std::uint64_t next = 1;
  for (const auto& name : platform::ListDirectory(programDir, accountKey + "-*.popfile*")) {
    next = std::max<std::uint64_t>(next, std::strtoull(name.c_str() + accountKey.size() + 1, nullptr, 10) + 1);
  }
  return next;
}

std::vector<WaitingMail> ListWaitingMail(const std::string& programDir) {
  for (const auto& name : platform::ListDirectory(programDir, "*" + std::string(kUnpublished))) {
    platform::RemoveFile(programDir + name);
  }
  std::vector<WaitingMail> waiting;
  if (platform::InputFile::Open(MailTxtPath(programDir))) waiting.push_back({MailTxtPath(programDir), std::nullopt});
  // (account key or "" for an earlier version's file, number, name)
  std::vector<std::tuple<std::string, unsigned long, std::string>> files;
  for (const auto& name : platform::ListDirectory(programDir, "*" + std::string(kPublished))) {
    const std::size_t dash = name.find('-');
    const std::string key = dash == std::string::npos ? std::string() : name.substr(0, dash);
    const char* number = name.c_str() + (dash == std::string::npos ? 0 : dash + 1);
    files.emplace_back(key, std::strtoul(number, nullptr, 10), name);
  }
  std::sort(files.begin(), files.end());
  for (const auto& [key, number, name] : files) {
    waiting.push_back({programDir + name, key.empty() ? std::nullopt : std::optional<std::string>(key)});
  }
  return waiting;
}

std::shared_mutex& DownloadedMailGate() {
  static std::shared_mutex gate;
  return gate;
}

}  // namespace quelma::spool
