// Replaced atomically, so a reader finds the last whole file or the one before.
#include "status/status_file.h"

#include "platform/files.h"

namespace quelma::status {
namespace {

constexpr std::size_t kLargestStatusFile = 4 << 20;

}  // namespace

std::string StatusFilePath(const std::string& programDir) { return programDir + "quelma.status"; }

bool WriteStatusFile(const std::string& programDir, const ProgramStatus& status) {
  return platform::AtomicReplace(StatusFilePath(programDir), EncodeStatusFile(status), platform::CreateMode::kPrivate) ==
         platform::WriteResult::kWritten;
}

std::optional<ProgramStatus> ReadStatusFile(const std::string& programDir) {
  const auto bytes = platform::ReadWholeFile(StatusFilePath(programDir), kLargestStatusFile);
  return bytes ? DecodeStatusFile(*bytes) : std::nullopt;
}

}  // namespace quelma::status
