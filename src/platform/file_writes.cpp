// Whole-file writes built on OutputFile: the atomic replace and the single-write append.
#include "platform/files.h"

namespace quelma::platform {

WriteResult AtomicReplace(const std::string& path, std::string_view bytes, CreateMode mode) {
  const std::string temporary = path + ".tmp";
  auto file = OutputFile::Create(temporary, mode == CreateMode::kPrivate ? CreateMode::kPrivate : CreateMode::kTruncate);
  if (!file) return WriteResult::kCannotCreate;
  const bool written = file->write(bytes) && file->sync() && file->close();
  if (!written || !RenameReplacing(temporary, path)) {
    file.reset();
    RemoveFile(temporary);
    return WriteResult::kWriteFailed;
  }
  return WriteResult::kWritten;
}

bool CopyToEnd(InputFile& in, OutputFile& out) {
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    const std::size_t n = in.read(buffer.data(), buffer.size());
    if (n == 0) return !in.failed();
    if (!out.write(std::string_view(buffer.data(), n))) return false;
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes, bool durable) {
  auto file = OutputFile::Create(path, CreateMode::kAppend);
  if (!file || !file->write(bytes)) return false;
  if (durable && !file->sync()) return false;
  return file->close();
}

}  // namespace quelma::platform
