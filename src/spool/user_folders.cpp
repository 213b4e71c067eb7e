// Folder files in a user's folder.
#include "spool/user_folders.h"

#include "platform/files.h"
#include "spool/folder_names.h"
#include "spool/mailbox_index_file.h"

namespace quelma::spool {

std::optional<std::string> FolderPath(const std::string& maildropPath, std::string_view name, std::string* refusal) {
  const auto file = FolderFileName(name, refusal);
  if (!file) return std::nullopt;
  const std::string folder = UserFolderOf(maildropPath);
  for (const std::string& existing : platform::ListDirectory(folder, "*")) {
    if (FolderNameOfFile(existing) && SameFolderFile(existing, *file)) return folder + existing;
  }
  return folder + *file;
}

bool MakeSpecialUseFolders(const std::string& maildropPath) {
  const std::string folder = UserFolderOf(maildropPath);
  if (!platform::IsDirectory(folder) && !platform::MakeDirectory(folder)) return false;
  bool made = true;
  for (const SpecialUseFolder& special : kSpecialUseFolders) {
    const auto path = FolderPath(maildropPath, special.name);
    if (!path || platform::FileExists(*path)) continue;
    auto file = platform::OutputFile::Create(*path, platform::CreateMode::kAppend);
    made = file && file->close() && made;
  }
  return made;
}

}  // namespace quelma::spool
