// What a backup or a restore says when it ends, in the log, on the terminal and in the Windows
// message box alike.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "backup/restore_backup.h"
#include "backup/take_backup.h"
#include "config/configuration.h"

namespace quelma::app {

struct OutcomeReport {
  bool done = false;
  std::vector<std::string> lines;  // Windows-1251, without line ends
};

// Takes the backup into a file of its own at `archivePath` (timed for its report).
OutcomeReport RunBackup(const config::Configuration& config, const std::string& programDir,
                        const std::string& archivePath, const backup::BackupOptions& options);
// The same into `out`, a file the asker made for `archivePath` and finishes itself.
OutcomeReport RunBackupInto(const config::Configuration& config, const std::string& programDir,
                            platform::OutputFile& out, const std::string& archivePath,
                            const backup::BackupOptions& options);

// Restores it into `directory`.
OutcomeReport RunRestore(const std::string& archivePath, const std::string& directory);

}  // namespace quelma::app
