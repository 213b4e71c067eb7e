// The SMTP client thread: upload every queue file to the provider's SMTP server, delete each
// once it has been dealt with, and leave a delivery-failure notice for the postmaster when
// the provider refused a message.
#pragma once

#include <cstdint>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "config/configuration.h"
#include "net/access_token_source.h"

namespace quelma::smtp_client {

inline constexpr char kSmtpClientGuard[] = "SMTP_client_running";

struct QueueUploadContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  const config::Configuration& config;
  std::uint32_t timeoutMs = config::defaults::kProviderTimeoutMs;  // send and receive time-outs of the provider connection
  net::AccessTokenSource* tokens = nullptr;  // for SMTP_AUTH (OAuth)
  std::uint64_t* handled = nullptr;  // counts the queue files sent (or refused with a notice), when given
};

// The thread body: 0 after a normal end, the error number after a fatal fault, 1 when
// another upload holds the guard (silently). Reports UM_WORKER_DONE (2) as its last act.
int RunQueueUpload(const QueueUploadContext& context);

}  // namespace quelma::smtp_client
