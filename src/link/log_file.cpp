// Appending to and trimming the log file.
#include "link/log_file.h"

#include <algorithm>
#include <vector>

#include "platform/files.h"

namespace quelma::link {
namespace {

// What a trim keeps: from just after the first line feed at or after (size - keep) to the
// end. The cut is reckoned from the real size, so the newest lines always stay whole.
std::string KeptPart(const std::string& path, std::uint64_t size, std::uint64_t keep) {
  auto in = platform::InputFile::Open(path);
  const std::uint64_t cut = size - keep;
  if (!in || !in->seek(cut)) return {};
  std::string tail(static_cast<std::size_t>(std::min(size - cut, kMaxLogTrimBytes)), '\0');
  std::size_t got = 0;
  while (got < tail.size()) {
    const std::size_t r = in->read(tail.data() + got, tail.size() - got);
    if (r == 0) break;
    got += r;
  }
  tail.resize(got);
  const std::size_t lineFeed = tail.find('\n');
  if (lineFeed == std::string::npos) return {};
  return tail.substr(lineFeed + 1);
}

}  // namespace

bool AppendLogLine(const std::string& path, std::string_view line, std::uint32_t limitKilobytes) {
  if (limitKilobytes == 0) return false;
  const std::uint64_t limit = static_cast<std::uint64_t>(limitKilobytes) * 1024u;
  const auto size = platform::FileSize(path);
  if (size && *size > limit) {
    std::string rewritten = KeptPart(path, *size, LogKeptAfterTrim(limit));
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

}  // namespace quelma::link
