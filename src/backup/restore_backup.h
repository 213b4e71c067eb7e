// Restoring a backup into a new program directory: the archive checked whole before anything
// is written, then its files written into an empty or new directory, and quelma.cfg pointed at
// the same places inside it. A restore that cannot finish takes back all it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelma::backup {

struct RestoreFigures {
  std::size_t files = 0;
  std::uint64_t bytes = 0;            // of the files' contents
  std::vector<std::string> notes;     // what the user must do by hand (a certificate kept elsewhere, sealed tokens)
};

// Nothing, with the reason in `problem`, when the directory is not empty, the archive is not
// a whole backup, or writing failed; nothing is left in the directory then.
std::optional<RestoreFigures> RestoreBackup(const std::string& archivePath, const std::string& directory,
                                            std::string& problem);

// The checks alone: whether `archivePath` is a whole backup this build can restore.
bool CheckBackupArchive(const std::string& archivePath, std::string& problem);

}  // namespace quelma::backup
