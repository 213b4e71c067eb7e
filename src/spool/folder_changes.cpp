// Making, removing and renaming a user's folders, and the user's subscriptions.
#include "spool/folder_changes.h"

#include <algorithm>
#include <mutex>

#include "platform/files.h"
#include "spool/folder_names.h"
#include "spool/mailbox.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop_locks.h"
#include "spool/summary_cache.h"
#include "spool/user_folders.h"

namespace quelma::spool {
namespace {

constexpr char kSubscriptions[] = ".subscriptions";
constexpr char kSpecialUse[] = ".specialuse";
constexpr std::size_t kMaxSubscriptions = 10000;

// The files that belong to the folder file at `path`, the file first.
std::vector<std::string> FilesOf(const std::string& path) {
  const std::string index = MailboxIndexPath(path);
  return {path, index, SummaryCachePath(index), IndexReplacementPath(index)};
}

bool Existing(const std::string& maildropPath, std::string_view name, std::string& path, std::string& reason) {
  const auto found = FolderPath(maildropPath, name, &reason);
  if (!found) return false;
  path = *found;
  return platform::FileExists(path);
}

}  // namespace

std::vector<std::string> ListFolders(const std::string& maildropPath) {
  std::vector<std::string> names;
  for (const std::string& file : platform::ListDirectory(UserFolderOf(maildropPath), "*")) {
    if (auto name = FolderNameOfFile(file)) names.push_back(std::move(*name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

FolderChange CreateFolder(const std::string& maildropPath, std::string_view name, std::string& reason) {
  const auto path = FolderPath(maildropPath, name, &reason);
  if (!path) return FolderChange::kRefused;
  if (platform::FileExists(*path)) return FolderChange::kExists;
  const std::string folder = UserFolderOf(maildropPath);
  if (!platform::IsDirectory(folder) && !platform::MakeDirectory(folder)) {
    reason = folder;
    return FolderChange::kFailed;
  }
  auto file = platform::OutputFile::Create(*path, platform::CreateMode::kExclusive);
  if (!file) {
    if (platform::FileExists(*path)) return FolderChange::kExists;
    reason = *path;
    return FolderChange::kFailed;
  }
  if (!file->close() || !platform::SyncParentDirectory(*path)) {
    reason = *path;
    return FolderChange::kFailed;
  }
  return FolderChange::kDone;
}

FolderChange DeleteFolder(const std::string& maildropPath, std::string_view name, std::string& reason) {
  std::string path;
  if (!Existing(maildropPath, name, path, reason)) return reason.empty() ? FolderChange::kMissing : FolderChange::kRefused;
  // No delivery into it, no compaction of it meanwhile.
  std::lock_guard<std::timed_mutex> held(MaildropDeliveryLock(path));
  for (const std::string& file : FilesOf(path)) {
    if (platform::FileExists(file) && !platform::RemoveFile(file)) {
      reason = file;
      return FolderChange::kFailed;
    }
  }
  Mailbox::Forget(path);
  platform::SyncParentDirectory(path);
  return FolderChange::kDone;
}

FolderChange RenameFolder(const std::string& maildropPath, std::string_view from, std::string_view to,
                          std::string& reason) {
  std::string source;
  const bool own = Existing(maildropPath, from, source, reason);
  if (!own && !reason.empty()) return FolderChange::kRefused;
  // The folder and its subfolders, each with the name it is to get (a name that is only the
  // parent of others has no file of its own: its subfolders move).
  std::vector<std::pair<std::string, std::string>> moves;
  const std::string prefix = std::string(from) + kHierarchySeparator;
  for (const std::string& name : ListFolders(maildropPath)) {
    std::string fresh;
    if (name == from) fresh = std::string(to);
    else if (name.starts_with(prefix)) fresh = std::string(to) + name.substr(from.size());
    else continue;
    const auto target = FolderPath(maildropPath, fresh, &reason);
    if (!target) return FolderChange::kRefused;
    const auto here = FolderPath(maildropPath, name, &reason);
    // A new name that is an existing folder's; a change of case alone is the same file.
    if (platform::FileExists(*target) && !SameFolderFile(*target, *here)) return FolderChange::kExists;
    moves.emplace_back(*here, *target);
  }
  if (moves.empty()) return FolderChange::kMissing;
  for (const auto& [here, target] : moves) {
    std::lock_guard<std::timed_mutex> held(MaildropDeliveryLock(here));
    const std::vector<std::string> old = FilesOf(here), fresh = FilesOf(target);
    for (std::size_t i = 0; i < old.size(); ++i) {
      if (platform::FileExists(old[i]) && !platform::RenameReplacing(old[i], fresh[i])) {
        reason = old[i];
        return FolderChange::kFailed;
      }
    }
    Mailbox::Forget(here);
    Mailbox::Forget(target);
  }
  platform::SyncParentDirectory(source);
  return FolderChange::kDone;
}

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> names;
  const auto text = platform::ReadWholeFile(path, 4 * 1024 * 1024);
  if (!text) return names;
  std::size_t at = 0;
  while (at < text->size() && names.size() < kMaxSubscriptions) {
    std::size_t end = text->find('\n', at);
    if (end == std::string::npos) end = text->size();
    if (end > at) names.push_back(text->substr(at, end - at));
    at = end + 1;
  }
  return names;
}

bool WriteLines(const std::string& maildropPath, const char* file, const std::vector<std::string>& lines) {
  const std::string folder = UserFolderOf(maildropPath);
  if (!platform::IsDirectory(folder) && !platform::MakeDirectory(folder)) return false;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return platform::AtomicReplace(folder + file, text) == platform::WriteResult::kWritten;
}

}  // namespace

std::vector<std::string> ReadSubscriptions(const std::string& maildropPath) {
  return ReadLines(UserFolderOf(maildropPath) + kSubscriptions);
}

bool WriteSubscriptions(const std::string& maildropPath, const std::vector<std::string>& names) {
  return WriteLines(maildropPath, kSubscriptions, names);
}

// One line per folder: the attribute, a blank, the name.
std::vector<std::pair<std::string, std::string>> ReadSpecialUse(const std::string& maildropPath) {
  std::vector<std::pair<std::string, std::string>> uses;
  for (const std::string& line : ReadLines(UserFolderOf(maildropPath) + kSpecialUse)) {
    const std::size_t blank = line.find(' ');
    if (blank != std::string::npos) uses.emplace_back(line.substr(blank + 1), line.substr(0, blank));
  }
  return uses;
}

bool WriteSpecialUse(const std::string& maildropPath, const std::vector<std::pair<std::string, std::string>>& uses) {
  std::vector<std::string> lines;
  for (const auto& [name, attribute] : uses) lines.push_back(attribute + " " + name);
  return WriteLines(maildropPath, kSpecialUse, lines);
}

}  // namespace quelma::spool
