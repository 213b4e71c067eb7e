// quelma.exe, the Windows program: single instance, the command line, start-up in order, the
// message loop, and the end of the process once the main window has let the servers stop.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "app/start_options.h"
#include "app/win32/main_window_class.h"
#include "app/win32/program.h"
#include "app/win32/tray_icon.h"
#include "config/config_file.h"
#include "dialogs/win32/settings_windows.h"
#include "platform/exit_gate.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "spool/delivery.h"
#include "spool/delivery_journals.h"
#include "spool/mailbox_keeper.h"
#include "app/win32/status_bar.h"
#include "imap_client/push_watchers.h"
#include "imap_server/imap_server.h"
#include "pop3_server/pop3_server.h"
#include "quelma_version.h"
#include "smtp_server/smtp_server.h"
#include "status/status_file.h"

namespace quelma::app {

namespace {
Program* g_program = nullptr;
}  // namespace

Program& TheProgram() { return *g_program; }
void SetTheProgram(Program& program) { g_program = &program; }

void PumpOnce() {
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
  } else {
    Sleep(5);
  }
}

}  // namespace quelma::app

namespace {

using namespace quelma;

// The running copy, found by its window, comes back from the tray in front.
void ActivateRunningCopy() {
  if (HWND first = FindWindowA(app::kMainWindowClass, app::kMainWindowTitle)) {
    ShowWindow(first, SW_SHOW);
    ShowWindow(first, SW_SHOWNORMAL);
    SetForegroundWindow(first);
  }
}

void ShowStartError(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), "Quelmar Mail Server", MB_OK | MB_ICONERROR);
}

// "/dir PATH" names the program directory (made if missing, one level as on Linux); without it
// the executable's own directory is, as it always was.
std::optional<std::string> ProgramDirectory(const std::string& executableDir, const app::StartOptions& options) {
  if (options.directory.empty()) return executableDir;
  if (!platform::IsDirectory(options.directory)) platform::MakeDirectory(options.directory);
  return platform::AbsoluteDirectory(options.directory);
}

// What the start found in the spool, told in the log once the window shows it.
struct SpoolStart {
  bool ready = true;       // the maildrop and queue directories exist
  std::string unfinished;  // an interrupted delivery that could not be finished
};

// The status file and the postmaster's alerts, carried on from what the last program left.
void MakeStatusParts(app::Program& program, std::vector<std::string> recovered) {
  program.board = std::make_unique<status::StatusBoard>(program.programDir, QUELMA_VERSION,
                                                        static_cast<std::int64_t>(GetCurrentProcessId()));
  if (const auto previous = status::ReadStatusFile(program.programDir)) program.board->carryOn(*previous);
  program.workers->board = program.board.get();
  program.watch = std::make_unique<app::AlertWatch>(app::AlertWatchContext{
      program.store, program.programDir, *program.board, *program.log, platform::SystemClock(),
      [&program] { return program.workers->pushConnections(); },
      [&program](const std::string& title, const std::string& text) { app::ShowTrayBalloon(program.tray, title, text); },
      std::move(recovered)});
  program.procedure->onSessionTimer = [&program] { program.watch->tick(); };
}

SpoolStart MakeCoreParts(app::Program& program) {
  config::Configuration working = config::DefaultConfiguration(program.programDir);
  sorting::LoadConfigurationChecked(program.programDir, program.sorter, working);
  // The spool's directories, and what a crash left unfinished there, before any server runs.
  SpoolStart spool;
  std::vector<std::string> recovered;
  spool.ready = spool::PrepareSpool(working, &spool.unfinished, &recovered);
  spool::CompactLeftovers(working);
  program.store.publish(std::move(working));
  program.procedure = std::make_unique<app::MainWindowProcedure>(program.programDir + "quelma.log", program.store,
                                                                 program.control, program.view, app::PumpOnce);
  program.log = std::make_unique<link::ActivityLog>(program.window, program.control, platform::SystemClock());
  program.workers = std::make_unique<app::ThreadWorkers>(program.window, *program.log, program.sorter,
                                                         program.programDir, *program.access, program.dialer);
  program.session = std::make_unique<app::SessionControl>(app::SessionContext{
      program.store,
      [&program] {
        config::Configuration fresh = *program.store.current();
        sorting::LoadConfigurationChecked(program.programDir, program.sorter, fresh);
        program.store.publish(std::move(fresh));
      },
      *program.log, *program.workers, *program.access, program.dialer, platform::SystemClock()});
  program.procedure->session = program.session.get();
  program.dialogEnvironment = std::make_unique<dialogs::DialogEnvironment>(dialogs::DialogEnvironment{
      program.store, program.programDir, program.sorter, program.prompt, platform::IsDirectory,
      [&program] { PostMessageA(program.mainWindow, link::UM_SHUTDOWN, 0, 0); }});
  dialogs::SetSettingsContext({program.dialogEnvironment.get(), program.access.get(), app::ModelessDialogClosed});
  MakeStatusParts(program, std::move(recovered));
  return spool;
}

void LogSpoolStart(app::Program& program, const SpoolStart& spool) {
  const config::Configuration& config = *program.store.current();
  if (!spool.ready) {
    program.log->LogSystem("Не удалось создать папку почтовых ящиков (" + config.MailDropDir + ") или очереди (" +
                           config.QueueDir + "): почта туда не сохраняется\r\n");
  } else if (!spool.unfinished.empty()) {
    program.log->LogSystem("Прерванную доставку не удалось завершить (" + spool.unfinished +
                           "): почта не сохраняется, пока это не исправлено\r\n");
  }
}

void StartServers(app::Program& program) {
  program.control.pop3Srv.stopped = false;
  program.control.smtpSrv.stopped = false;
  // IMAP_SRV_PORT 0 turns the IMAP server off: no thread, and its flags stay stopped.
  const bool imapOn = program.store.current()->IMAP_SRV_PORT != 0;
  program.window.setStatusText(link::kImapLabelPart, app::ImapSessionsText(imapOn, 0));
  if (imapOn) {
    program.control.imapSrv.stopped = false;
    program.control.imapSrv.sessionsChanged = [&program](std::size_t sessions) {
      program.window.setStatusText(link::kImapLabelPart, app::ImapSessionsText(true, sessions));
    };
    std::thread([&program] {
      imap_server::RunImapServer({program.window, *program.log, program.control.imapSrv, program.store,
                                  platform::SystemClock(), program.loginGuard});
    }).detach();
  }
  program.window.setStatusText(link::kPushLabelPart, imap_client::PushStateText(imap_client::PushState::kOff));
  program.workers->startPush(program.store);
  std::thread([&program] {
    pop3_server::RunPop3Server({program.window, *program.log, program.control.pop3Srv, program.store,
                                platform::SystemClock(), program.loginGuard});
  }).detach();
  std::thread([&program] {
    smtp_server::RunSmtpServer({program.window, *program.log, program.control.smtpSrv, program.store,
                                platform::SystemClock(), program.loginGuard});
  }).detach();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  const auto executableDir = platform::ExecutableDirectory();
  if (!executableDir) return 0;
  const auto single = platform::InstanceLock::TryAcquire(*executableDir);
  if (!single) {
    ActivateRunningCopy();
    return 1;
  }
  const app::StartOptionsResult started = app::ParseStartOptions(commandLine ? commandLine : "");
  if (!started.options) {
    ShowStartError("Неизвестный параметр командной строки: " + started.error +
                   "\r\n\r\nquelma.exe [/tray] [/dir ПАПКА]");
    return 1;
  }
  const auto programDir = ProgramDirectory(*executableDir, *started.options);
  if (!programDir) {
    ShowStartError("Не удаётся создать или открыть папку программы:\r\n" + started.options->directory);
    return 1;
  }
  // Started from the Run value: in the tray only, exactly as a shortcut set to "minimised".
  if (started.options->tray) showCommand = SW_SHOWMINNOACTIVE;
  platform::MakeCurrentDirectory(*programDir);
  static app::Program program(*programDir);  // lives until the process ends; workers may outlast WinMain
  app::SetTheProgram(program);
  const SpoolStart spool = MakeCoreParts(program);

  if (!app::RegisterMainWindowClass(instance)) return 0;
  program.control.pop3Srv.stopped = true;
  program.control.smtpSrv.stopped = true;
  program.control.imapSrv.stopped = true;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  HWND window = app::CreateMainWindow(instance);
  if (!window) return 0;
  ShowWindow(window, SW_RESTORE);
  UpdateWindow(window);
  SetTimer(window, app::kSessionTimerId, app::kSessionTimerMs, nullptr);
  if (showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINNOACTIVE) SendMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  app::AddTrayIcon(program.tray, window, reinterpret_cast<HICON>(GetClassLongPtrA(window, GCLP_HICON)));
  StartServers(program);
  LogSpoolStart(program, spool);
  program.watch->check();

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    bool taken = false;
    for (void* dialog : program.dialogs.all()) {
      if (dialog && IsDialogMessageA(static_cast<HWND>(dialog), &message)) {
        taken = true;
        break;
      }
    }
    if (!taken) DispatchMessageA(&message);
  }
  program.workers->stopPush();
  // A message half-written into a maildrop or "mail.txt" is finished first; then the process
  // ends without destructors, so threads still at work keep what they use.
  platform::ProgramExitGate().close(std::chrono::seconds(30), app::PumpOnce);
  // Expunged mail leaves the files, so that an older build never shows it again.
  spool::FinishCompactions();
  spool::RemoveIdleJournals();
  ExitProcess(static_cast<UINT>(message.wParam));
}
