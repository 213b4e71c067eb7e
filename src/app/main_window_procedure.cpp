// The main window's messages: log lines, the session messages, and the orderly shutdown.
#include "app/main_window_procedure.h"

#include <algorithm>
#include <iterator>

#include "link/log_file.h"

namespace quelma::app {

std::intptr_t MainWindowProcedure::handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case link::UM_LOG_LINE:
      if (lParam != 0) showLogLine(static_cast<link::LogSource>(wParam), *reinterpret_cast<const std::string*>(lParam));
      return 0;
    case link::UM_START_SESSION:
      if (session && !shuttingDown_) session->startSession();
      return 0;
    case link::UM_CONNECTED:
      if (session && !shuttingDown_) session->connected();
      return 0;
    case link::UM_WORKER_DONE:  // while the program ends, no next account is started
      if (session && !shuttingDown_) session->workerDone(static_cast<link::WorkerId>(wParam));
      return 0;
    case kWmTimer:
      if (session && !shuttingDown_ && wParam == kSessionTimerId) session->tick();
      if (onSessionTimer && !shuttingDown_ && wParam == kSessionTimerId) onSessionTimer();
      return 0;
    case link::UM_SHUTDOWN:
      shutdown(1);
      return 0;
    case link::kWmClose:
      shutdown(0);
      return 0;
    case link::kWmCommand:
      if (wParam == link::kCommandExit) shutdown(0);
      if (wParam == link::kCommandSendReceive) handle(link::UM_START_SESSION, 0, 0);
      if (wParam == kCommandBreakConnection && session) session->breakConnection();
      return 0;
    default:
      return 0;
  }
}

void MainWindowProcedure::showLogLine(link::LogSource source, const std::string& line) {
  link::AppendLogLine(logFilePath_, line, config_.current()->LogFileSize);
  std::string_view shown = line;
  if (shown.size() >= 2) shown.remove_suffix(2);
  view_.showLine(source, shown);
}

void MainWindowProcedure::shutdown(int exitCode) {
  if (shuttingDown_) return;
  shuttingDown_ = true;
  link::ServerFlags* const servers[] = {&control_.pop3Srv, &control_.smtpSrv, &control_.imapSrv};
  for (link::ServerFlags* server : servers) server->stopRequest = true;
  const auto running = [&servers] {
    return std::any_of(std::begin(servers), std::end(servers), [](const link::ServerFlags* s) { return !s->stopped; });
  };
  // The loggers are muted now; what was sent before is still handled while waiting.
  const auto giveUp = std::chrono::steady_clock::now() + serverStopLimit_;
  while (running() && std::chrono::steady_clock::now() < giveUp) {
    for (link::ServerFlags* server : servers) server->wakeSockets();
    if (pumpWhileWaiting_) pumpWhileWaiting_();
  }
  exitCode_ = exitCode;
}

}  // namespace quelma::app
