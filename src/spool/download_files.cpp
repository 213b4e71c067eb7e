// Download files and "mail.txt": publish, collect, trim.
#include "spool/download_files.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/exit_gate.h"

namespace quelma::spool {
namespace {

constexpr char kPublished[] = ".popfile";
constexpr char kUnpublished[] = ".popfile.part";

std::string MarkPath(const std::string& programDir) { return MailTxtPath(programDir) + ".sorted"; }

}  // namespace

std::string MailTxtPath(const std::string& programDir) { return programDir + "mail.txt"; }

std::optional<DownloadFile> DownloadFile::Create(const std::string& programDir, std::uint64_t number) {
  const std::string base = programDir + std::to_string(number);
  auto file = platform::OutputFile::Create(base + kUnpublished, platform::CreateMode::kTruncate);
  if (!file) return std::nullopt;
  return DownloadFile(base + kUnpublished, base + kPublished, std::move(*file));
}

DownloadFile::~DownloadFile() { discard(); }

void DownloadFile::discard() {
  if (!file_) return;
  file_.reset();
  platform::RemoveFile(partPath_);
}

bool DownloadFile::write(std::string_view bytes) { return file_ && file_->write(bytes); }

bool DownloadFile::publish() {
  if (!file_ || !file_->sync() || !file_->close() || !platform::RenameReplacing(partPath_, finalPath_)) {
    discard();
    return false;
  }
  file_.reset();
  platform::SyncParentDirectory(finalPath_);
  return true;
}

CollectResult CollectDownloadFiles(const std::string& programDir) {
  for (const auto& name : platform::ListDirectory(programDir, std::string("*") + kUnpublished)) {
    platform::RemoveFile(programDir + name);
  }
  std::vector<std::pair<unsigned long, std::string>> files;
  for (const auto& name : platform::ListDirectory(programDir, std::string("*") + kPublished)) {
    files.emplace_back(std::strtoul(name.c_str(), nullptr, 10), name);
  }
  std::sort(files.begin(), files.end());
  for (const auto& [number, name] : files) {
    const platform::ExitGateHold whole;  // the copy and the deletion of its source, not half of it
    const std::uint64_t before = platform::FileSize(MailTxtPath(programDir)).value_or(0);
    auto mail = platform::OutputFile::Create(MailTxtPath(programDir), platform::CreateMode::kAppend);
    if (!mail) return CollectResult::kMailTxtFailed;
    auto in = platform::InputFile::Open(programDir + name);
    if (!in) return CollectResult::kDownloadFileFailed;
    if (!platform::CopyToEnd(*in, *mail) || !mail->sync() || !mail->close()) {
      // A part of the file behind the messages would be taken for the start of one; the
      // download file stays and is collected again whole.
      mail.reset();
      platform::TruncateFile(MailTxtPath(programDir), before);
      return CollectResult::kMailTxtFailed;
    }
    in.reset();
    platform::RemoveFile(programDir + name);
  }
  return CollectResult::kCollected;
}

bool KeepMailTxtFrom(const std::string& programDir, std::uint64_t offset) {
  const std::string path = MailTxtPath(programDir);
  const std::string temporary = path + ".tmp";
  auto in = platform::InputFile::Open(path);
  if (!in || !in->seek(offset)) return false;
  auto out = platform::OutputFile::Create(temporary, platform::CreateMode::kTruncate);
  if (!out) return false;
  const bool copied = platform::CopyToEnd(*in, *out) && out->sync() && out->close();
  out.reset();
  in.reset();
  if (!copied || !platform::RenameReplacing(temporary, path)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

bool RemoveMailTxt(const std::string& programDir) {
  const std::string path = MailTxtPath(programDir);
  return platform::RemoveFile(path) || !platform::FileExists(path) || platform::TruncateFile(path, 0);
}

bool MarkMailTxtSorted(const std::string& programDir, std::uint64_t offset) {
  const auto size = platform::FileSize(MailTxtPath(programDir));
  if (!size) return true;  // nothing left to mark
  const std::string mark = std::to_string(offset) + " " + std::to_string(*size) + "\r\n";
  return platform::AtomicReplace(MarkPath(programDir), mark) == platform::WriteResult::kWritten;
}

std::uint64_t MailTxtSortedUpTo(const std::string& programDir) {
  auto in = platform::InputFile::Open(MarkPath(programDir));
  if (!in) return 0;
  std::string text(64, '\0');
  text.resize(in->read(text.data(), text.size()));
  char* end = nullptr;
  const unsigned long long offset = std::strtoull(text.c_str(), &end, 10);
  const unsigned long long size = std::strtoull(end, nullptr, 10);
  const auto actual = platform::FileSize(MailTxtPath(programDir));
  return actual && *actual == size && offset <= size ? offset : 0;
}

void ForgetMailTxtMark(const std::string& programDir) { platform::RemoveFile(MarkPath(programDir)); }

}  // namespace quelma::spool
