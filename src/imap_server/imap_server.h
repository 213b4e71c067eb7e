// The IMAP server thread.
#pragma once

#include "serving/server_thread.h"

namespace quelma::imap_server {

// The thread body; returns the thread's exit code (0 after an orderly stop, 1 after a failure).
int RunImapServer(serving::ServerContext context);

}  // namespace quelma::imap_server
