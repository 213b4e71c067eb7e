// The SMTP server thread.
#pragma once

#include "link/server_thread.h"

namespace quelma::smtp_server {

// The thread body; returns the thread's exit code (0 after an orderly stop, 1 after a failure).
int RunSmtpServer(link::ServerContext context);

}  // namespace quelma::smtp_server
