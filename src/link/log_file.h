// quelma.log: each line appended at once, the file kept below LogFileSize kilobytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::link {

inline constexpr std::uint64_t kMaxLogTrimBytes = 1024000;  // what one trim reads at most (the largest limit)

// What a trim keeps of a file above `limit` bytes: its newest three quarters of the limit, so
// that the next quarter's lines are appended without rewriting the file for each of them.
inline constexpr std::uint64_t LogKeptAfterTrim(std::uint64_t limit) { return limit - limit / 4; }

// With `limitKilobytes` 0 nothing is written. A file above the limit is first cut so that it
// begins just after the first line feed at or after (size - LogKeptAfterTrim(limit)); a file
// that cannot be opened is skipped without a word. True when the line reached the file.
bool AppendLogLine(const std::string& path, std::string_view line, std::uint32_t limitKilobytes);

// Empties an existing log file; a missing one stays missing.
void ClearLogFile(const std::string& path);

}  // namespace quelma::link
