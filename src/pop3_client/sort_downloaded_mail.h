// Distributing the downloaded mail of "mail.txt": to the account's user, or by the sorter
// rules to local users and outside addresses, or to the recipients of unsorted mail.
#pragma once

#include <string>

#include "link/activity_log.h"
#include "config/configuration.h"
#include "pop3_client/sorter_rules.h"

namespace quelma::pop3_client {

struct SortContext {
  const config::Configuration& config;
  SorterFile& sorter;
  link::ActivityLog& log;
  std::string programDir;  // holds "mail.txt" and the sorter's work file
};

enum class SortResult {
  kNothing,   // no "mail.txt"
  kSorted,    // every message handled; "mail.txt" is gone
  kStopped,   // a maildrop or the work file failed: "mail.txt" holds the unhandled messages
};

// With `byRules` false every message goes to `deliverTo`. Every copy is on disk before the
// message leaves "mail.txt", so a stop never loses one and never delivers one twice.
SortResult SortDownloadedMail(const SortContext& context, bool byRules, const std::string& deliverTo);

}  // namespace quelma::pop3_client
