// One run of the IMAP client for one provider account: every folder's new messages into
// download files, what is no longer kept removed at the provider once it is on disk, then
// everything that waits sorted. Push (IMAP IDLE) runs the same collection for one folder.
#pragma once

#include <string>

#include "config/configuration.h"
#include "link/activity_log.h"
#include "link/main_window.h"
#include "net/access_token_source.h"
#include "platform/clock.h"
#include "sorting/sorter_rules.h"

namespace quelma::imap_client {

struct ImapClientContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  const config::Configuration& config;
  sorting::SorterFile& sorter;
  std::string programDir;            // holds the download files and the ledgers
  config::ProviderAccount account;   // CurrentPop3Account
  std::uint32_t receiveTimeoutMs = config::defaults::kProviderTimeoutMs;
  net::AccessTokenSource* tokens = nullptr;  // for an account that logs in with OAuth
  platform::Clock* clock = nullptr;          // the day "keep=" counts from; the system's when none
  std::uint64_t* stored = nullptr;            // counts the messages the run stores, when given
};

// The thread body, as the POP3 client's: 0 after a successful run, the error number after a
// failed one, 1 when a download run (POP3 or IMAP) holds the guard. Reports
// UM_WORKER_DONE (the POP3 client's worker) as its last act.
int RunImapClient(const ImapClientContext& context);

}  // namespace quelma::imap_client
