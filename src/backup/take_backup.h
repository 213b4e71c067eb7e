// Taking a backup while the program runs: quelma.cfg, sorter.cfg, the ledgers, the files of
// downloaded mail, every mailbox with its index and the queue, in one tar archive. Each
// mailbox is taken as it stood at one moment under its own lock, so no message is torn and
// mail to every other mailbox goes on meanwhile; the program's mail must be in this process
// (its locks are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/files.h"

namespace quelma::backup {

struct BackupOptions {
  bool withTokens = false;  // the OAuth refresh tokens too
};

struct BackupFigures {
  std::size_t mailboxes = 0;
  std::size_t files = 0;       // members with content, the mailboxes among them
  std::uint64_t bytes = 0;     // the archive's size
  bool tokensSealed = false;   // the tokens went in sealed for this Windows user and machine
  std::vector<std::string> leftOut;  // places a setting names outside the program directory
};

// Whether an archive may be written at `archivePath`: not inside the maildrop or queue
// directory (the next backup would take it for mail). Nothing, or the reason it may not.
std::optional<std::string> ArchivePlaceProblem(const config::Configuration& config, const std::string& programDir,
                                               const std::string& archivePath);

// Writes the archive into `out` (a new, empty file) and syncs it. Nothing, with the reason in
// `problem`, when it failed; what was written is then the caller's to remove.
std::optional<BackupFigures> WriteBackup(const config::Configuration& config, const std::string& programDir,
                                         platform::OutputFile& out, const BackupOptions& options, std::string& problem);

// Writes the archive to `archivePath` (through a ".part" file beside it, renamed when whole
// and synced; nothing is left at `archivePath` otherwise).
std::optional<BackupFigures> TakeBackup(const config::Configuration& config, const std::string& programDir,
                                        const std::string& archivePath, const BackupOptions& options,
                                        std::string& problem);

}  // namespace quelma::backup
