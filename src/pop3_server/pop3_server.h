// The POP3 server thread.
#pragma once

#include "serving/server_thread.h"

namespace quelma::pop3_server {

// The thread body; returns the thread's exit code (0 after an orderly stop, 1 after a failure).
int RunPop3Server(serving::ServerContext context);

}  // namespace quelma::pop3_server
