// What quelma.exe's window procedure and dialogs work with: made in WinMain before the main
// window exists, and never destroyed (worker threads may outlast the message loop).
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "link/activity_log.h"
#include "app/alert_watch.h"
#include "app/main_window_procedure.h"
#include "app/modeless_dialogs.h"
#include "link/server_control.h"
#include "serving/login_guard.h"
#include "app/session_control.h"
#include "app/session_workers.h"
#include "app/win32/win32_log_view.h"
#include "app/win32/win32_main_window.h"
#include "config/config_store.h"
#include "dialogs/win32/win32_prompt.h"
#include "dialogs/working_configuration.h"
#include "dialup/remote_access.h"
#include "sorting/sorter_rules.h"
#include "status/status_board.h"

namespace quelma::app {

inline constexpr char kMainWindowClass[] = "MailServer";
inline constexpr char kMainWindowTitle[] = "Quelmar mail server";

struct Program {
  std::string programDir;
  sorting::SorterFile sorter;
  config::ConfigStore store;
  link::ServerControl control;
  serving::LoginGuard loginGuard;  // the servers' failed logins, counted together
  Win32MainWindow window;
  Win32LogView view;
  std::unique_ptr<MainWindowProcedure> procedure;
  std::unique_ptr<link::ActivityLog> log;
  std::unique_ptr<dialup::RemoteAccess> access = dialup::CreateSystemRemoteAccess();
  dialup::DialerState dialer;
  std::unique_ptr<ThreadWorkers> workers;
  std::unique_ptr<SessionControl> session;
  std::unique_ptr<status::StatusBoard> board;  // quelma.status, and Команда > Состояние
  std::unique_ptr<AlertWatch> watch;           // the postmaster's alerts, on the session timer
  HWND mainWindow = nullptr;
  ModelessDialogs dialogs;
  NOTIFYICONDATAA tray{};
  dialogs::Win32Prompt prompt;
  std::unique_ptr<dialogs::DialogEnvironment> dialogEnvironment;

  explicit Program(std::string dir) : programDir(std::move(dir)), sorter(sorting::SorterFilePath(programDir)) {}
};

// The one program of the process; set by WinMain.
Program& TheProgram();
void SetTheProgram(Program& program);

// Handles messages for a moment: the shutdown waits call it.
void PumpOnce();

// A modeless dialog has destroyed itself: its slot is free, and a session start may read the
// configuration files again once no settings dialog is open.
void ModelessDialogClosed(HWND dialog);

}  // namespace quelma::app
