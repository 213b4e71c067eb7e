// One run of the POP3 client for one provider account: download every message into its own
// download file, delete it on the server only once it is on disk, then sort what waits.
#pragma once

#include <string>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "config/configuration.h"
#include "net/access_token_source.h"
#include "platform/clock.h"
#include "sorting/sorter_rules.h"

namespace quelma::pop3_client {

inline constexpr char kPop3ClientGuard[] = "POP3_client_running";

struct Pop3ClientContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  const config::Configuration& config;
  sorting::SorterFile& sorter;
  std::string programDir;            // holds the download files and "mail.txt"
  config::ProviderAccount account;   // CurrentPop3Account
  std::uint32_t receiveTimeoutMs = config::defaults::kProviderTimeoutMs;
  net::AccessTokenSource* tokens = nullptr;  // for an account that logs in with OAuth
  platform::Clock* clock = nullptr;           // the day "keep=" counts from; the system's when none
  std::uint64_t* stored = nullptr;            // counts the messages the run stores, when given
};

// The thread body: 0 after a successful run, the error number after a failed one, 1 when
// another run holds the guard. Reports UM_WORKER_DONE (1) as its last act.
int RunPop3Client(const Pop3ClientContext& context);

}  // namespace quelma::pop3_client
