// Whole-file reads and writes built on InputFile and OutputFile: the read of a small file, the
// atomic replace and the single-write append.
#include "platform/files.h"

namespace quelma::platform {

WriteResult AtomicReplace(const std::string& path, std::string_view bytes, CreateMode mode) {
  const std::string temporary = path + ".tmp";
  const bool ownerOnly = mode == CreateMode::kPrivate;
  auto file = OutputFile::Create(temporary, ownerOnly ? CreateMode::kPrivate : CreateMode::kTruncate);
  if (!file) return WriteResult::kCannotCreate;
  const bool written = file->write(bytes) && file->sync() && file->close();
  if (!written) {
    file.reset();
    RemoveFile(temporary);
    return WriteResult::kWriteFailed;
  }
  if (!RenameReplacing(temporary, path, !ownerOnly)) {
    // A rename that happened, with a directory that could not be synced, left no temporary.
    if (!FileExists(temporary)) return WriteResult::kNotDurable;
    RemoveFile(temporary);
    return WriteResult::kWriteFailed;
  }
  return WriteResult::kWritten;
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t limit) {
  auto file = InputFile::Open(path);
  if (!file) return std::nullopt;
  std::string text, buffer(64 * 1024, '\0');
  for (std::size_t n; (n = file->read(buffer.data(), buffer.size())) > 0;) {
    text.append(buffer.data(), n);
    if (text.size() > limit) return std::nullopt;
  }
  if (file->failed()) return std::nullopt;
  return text;
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
