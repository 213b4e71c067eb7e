// What the main window does with its messages, the same behind the console and the window.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "link/server_control.h"
#include "app/session_control.h"
#include "config/config_store.h"

namespace quelma::app {

// Where the log lines are shown: the log view, or the terminal.
class LogView {
 public:
  virtual ~LogView() = default;
  virtual void showLine(link::LogSource source, std::string_view lineWithoutCrLf) = 0;
};

class MainWindowProcedure {
 public:
  // How long shutdown waits for the servers to stop. Closing their sockets wakes them within
  // moments; a server stuck beyond this (a disk that no longer answers) is left behind, and
  // the exit gate still keeps any message it writes whole.
  static constexpr std::chrono::milliseconds kServerStopLimit{30000};

  // `pumpWhileWaiting` handles messages for a short while; the shutdown wait calls it so that
  // a log line already on its way cannot block its server forever.
  MainWindowProcedure(std::string logFilePath, const config::ConfigStore& config, link::ServerControl& control,
                      LogView& view, std::function<void()> pumpWhileWaiting,
                      std::chrono::milliseconds serverStopLimit = kServerStopLimit)
      : logFilePath_(std::move(logFilePath)),
        config_(config),
        control_(control),
        view_(view),
        pumpWhileWaiting_(std::move(pumpWhileWaiting)),
        serverStopLimit_(serverStopLimit) {}

  std::intptr_t handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

  // Set once the program is to end: 0 after the user's exit, 1 after UM_SHUTDOWN.
  std::optional<int> exitCode() const { return exitCode_; }
  bool shuttingDown() const { return shuttingDown_; }

  // Session control, once the front end has made it: it gets the session messages, the
  // timer and the two session commands.
  SessionControl* session = nullptr;
  // Also on the session timer, after the session's tick: the program's watch over itself.
  std::function<void()> onSessionTimer;

 private:
  void showLogLine(link::LogSource source, const std::string& line);
  void shutdown(int exitCode);

  std::string logFilePath_;
  const config::ConfigStore& config_;
  link::ServerControl& control_;
  LogView& view_;
  std::function<void()> pumpWhileWaiting_;
  std::chrono::milliseconds serverStopLimit_;
  bool shuttingDown_ = false;
  std::optional<int> exitCode_;
};

}  // namespace quelma::app
