// The POP3 server thread: listener, one connection at a time, the orderly stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/activity_log.h"
#include "app/main_window.h"
#include "app/server_control.h"
#include "config/config_store.h"
#include "platform/clock.h"

namespace quelma::pop3_server {

struct Pop3ServerContext {
  app::MainWindow& window;
  app::ActivityLog& log;
  app::ServerFlags& flags;
  const config::ConfigStore& config;
  platform::Clock& clock;
  std::atomic<std::uint16_t>* boundPort = nullptr;  // set once listening (tests listen on port 0)
};

// The thread body; returns the thread's exit code (0 after an orderly stop, 1 after a failure).
int RunPop3Server(Pop3ServerContext context);

}  // namespace quelma::pop3_server
