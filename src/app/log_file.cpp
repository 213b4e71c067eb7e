// Appending to and trimming the log file.
#include "app/log_file.h"

#include <algorithm>
#include <vector>

#include "platform/files.h"

namespace quelma::app {
namespace {

// The part of the file's first `n` bytes that a trim keeps.
std::string KeptPart(const std::string& path, std::uint64_t size, std::uint64_t limit) {
  const std::uint64_t n = std::min(size, kMaxLogTrimBytes);
  auto in = platform::InputFile::Open(path);
  if (!in) return {};
  std::string head(static_cast<std::size_t>(n), '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const std::size_t r = in->read(head.data() + got, head.size() - got);
    if (r == 0) break;
    got += r;
  }
  head.resize(got);
  const std::size_t cut = n > limit ? static_cast<std::size_t>(n - limit) : 0;
  const std::size_t lineFeed = head.find('\n', std::min(cut, head.size()));
  if (lineFeed == std::string::npos) return {};
  return head.substr(lineFeed + 1);
}

}  // namespace

bool AppendLogLine(const std::string& path, std::string_view line, std::uint32_t limitKilobytes) {
  if (limitKilobytes == 0) return false;
  const std::uint64_t limit = static_cast<std::uint64_t>(limitKilobytes) * 1024u;
  const auto size = platform::FileSize(path);
  if (size && *size > limit) {
    std::string rewritten = KeptPart(path, *size, limit);
    rewritten += line;
    auto out = platform::OutputFile::Create(path, platform::CreateMode::kTruncate);
    return out && out->write(rewritten) && out->close();
  }
  return platform::AppendToFile(path, line, false);
}

void ClearLogFile(const std::string& path) {
  if (!platform::FileExists(path)) return;
  auto out = platform::OutputFile::Create(path, platform::CreateMode::kTruncate);
  if (out) out->close();
}

}  // namespace quelma::app
