// Whole-file writes built on OutputFile: the atomic replace and the single-write append.
#include "platform/files.h"

namespace quelma::platform {

WriteResult AtomicReplace(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".tmp";
  auto file = OutputFile::Create(temporary, CreateMode::kTruncate);
  if (!file) return WriteResult::kCannotCreate;
  const bool written = file->write(bytes) && file->sync() && file->close();
  if (!written || !RenameReplacing(temporary, path)) {
    file.reset();
    RemoveFile(temporary);
    return WriteResult::kWriteFailed;
  }
  return WriteResult::kWritten;
}

bool AppendToFile(const std::string& path, std::string_view bytes, bool durable) {
  auto file = OutputFile::Create(path, CreateMode::kAppend);
  if (!file || !file->write(bytes)) return false;
  if (durable && !file->sync()) return false;
  return file->close();
}

}  // namespace quelma::platform
