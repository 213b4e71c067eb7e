// "quelma backup [--with-tokens] FILE" and "quelma restore FILE DIR" on the terminal. A backup
// is taken by the program that runs on the directory (it holds the mailboxes' locks), reached
// through its control door; when none runs, by the command itself, holding the instance lock
// so that none starts meanwhile. Exit codes: 0 done, 1 failed, 2 wrong words.
#pragma once

#include <string>
#include <vector>

#include "config/configuration.h"
#include "link/activity_log.h"

namespace quelma::app {

int BackupCommand(const std::string& programDir, const std::vector<std::string>& words);
int RestoreCommand(const std::vector<std::string>& words);

// The running program's answer to the request BackupCommand sends through the door with the
// file to write (closed here); the report also goes to the log.
std::string AnswerBackupRequest(const std::string& request, int handedFile, const std::string& programDir,
                                const config::Configuration& config, link::ActivityLog& log);

}  // namespace quelma::app
