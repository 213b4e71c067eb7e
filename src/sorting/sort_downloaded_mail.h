// Distributing downloaded mail: to the account's user, or by the sorter rules to local users
// and outside addresses, or to the recipients of unsorted mail. Each file of downloaded mail
// is one delivery: all of its messages reach all of their places and the file goes, or none
// does and the file stays, whatever instant the program stops at.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "link/activity_log.h"
#include "platform/clock.h"
#include "sorting/sorter_rules.h"
#include "spool/download_files.h"

namespace quelma::sorting {

struct SortContext {
  const config::Configuration& config;
  SorterFile& sorter;
  link::ActivityLog& log;
  std::string programDir;  // holds the files of downloaded mail
  platform::Clock* clock = nullptr;  // for the day in which a Message-ID counts as delivered; the system's when none
  link::LogSource source = link::LogSource::kPop3Client;  // the client whose lines these are
};

enum class SortResult {
  kNothing,  // nothing was waiting
  kSorted,   // every file handled and gone
  kStopped,  // a file could not be delivered whole: it and the files after it wait
};

// One file of messages in transfer form (each ending with a dot line). With `byRules` false
// every message goes to `deliverTo`.
SortResult SortMailFile(const SortContext& context, const std::string& path, bool byRules,
                        const std::string& deliverTo);

// Every file of downloaded mail that waits: each goes where its account delivers (through the
// rules when its "deliverTo" begins with "*", when the account is gone, or for a file of an
// earlier version).
SortResult SortDownloadedMail(const SortContext& context);

// The given files, in their order, each where its account delivers; the ledgers of their
// accounts must hold their ids as stored already. `number` counts the messages of a sorting
// run for the log, across calls.
SortResult SortWaitingMail(const SortContext& context, const std::vector<spool::WaitingMail>& waiting, int& number);

// Held by whatever downloads provider mail and sorts it (a session's POP3 or IMAP run, push):
// one at a time, so that an account's ledger and the sorting never see two at once. A run
// waits for it; push only tries, and comes back later.
std::mutex& DownloadLock();

}  // namespace quelma::sorting
