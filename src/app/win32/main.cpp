// quelma.exe, the Windows program: single instance, the main window with its log view,
// status bar and tray icon, the servers, session control on the timer, and shutdown.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/activity_log.h"
#include "app/log_file.h"
#include "app/main_window_procedure.h"
#include "app/server_control.h"
#include "app/session_control.h"
#include "app/session_workers.h"
#include "app/win32/win32_log_view.h"
#include "app/win32/win32_main_window.h"
#include "config/config_file.h"
#include "config/config_store.h"
#include "dialup/remote_access.h"
#include "platform/exit_gate.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "pop3_client/sorter_rules.h"
#include "pop3_server/pop3_server.h"
#include "resource_ids.h"
#include "smtp_server/smtp_server.h"

namespace {

using namespace quelma;

constexpr char kClassName[] = "MailServer";
constexpr char kTitle[] = "Quelmar mail server";

// What the window procedure works with; made in WinMain before the window exists.
struct Program {
  std::string programDir;
  pop3_client::SorterFile sorter;
  config::ConfigStore store;
  app::ServerControl control;
  app::Win32MainWindow window;
  app::Win32LogView view;
  std::unique_ptr<app::MainWindowProcedure> procedure;
  std::unique_ptr<app::ActivityLog> log;
  std::unique_ptr<dialup::RemoteAccess> access = dialup::CreateSystemRemoteAccess();
  dialup::DialerState dialer;
  std::unique_ptr<app::ThreadWorkers> workers;
  std::unique_ptr<app::SessionControl> session;
  HWND mainWindow = nullptr;
  HWND about = nullptr;
  NOTIFYICONDATAA tray{};

  explicit Program(std::string dir) : programDir(std::move(dir)), sorter(pop3_client::SorterFilePath(programDir)) {}
};

Program* g_program = nullptr;

void PumpOnce() {
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
  } else {
    Sleep(5);
  }
}

void CreateStatusBar(HWND window) {
  HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUSBAR)), GetModuleHandleA(nullptr),
                             nullptr);
  RECT client{};
  GetClientRect(bar, &client);
  const int w = client.right - client.left;
  int edges[4] = {130, w / 2, w / 2 + 130, w};
  SendMessageA(bar, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
  SendMessageA(bar, SB_SETTEXTA, app::kSmtpLabelPart, reinterpret_cast<LPARAM>("SMTP клиент"));
  SendMessageA(bar, SB_SETTEXTA, app::kPop3LabelPart, reinterpret_cast<LPARAM>("POP3 клиент"));
  HWND progress[2] = {};
  for (int i = 0; i < 2; ++i) {
    RECT part{};
    SendMessageA(bar, SB_GETRECT, i == 0 ? app::kSmtpProgressPart : app::kPop3ProgressPart, reinterpret_cast<LPARAM>(&part));
    progress[i] = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, part.left, part.top,
                                  part.right - part.left, part.bottom - part.top, bar, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    SendMessageA(progress[i], PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  }
  g_program->window.attach(window, bar, progress[0], progress[1]);
  RECT barRect{};
  GetClientRect(bar, &barRect);
  g_program->view.create(window, barRect.bottom - barRect.top + 1);
}

void ShowTrayMenu(HWND window) {
  HMENU bar = LoadMenuA(GetModuleHandleA(nullptr), "IDR_MENU2");
  if (!bar) return;
  POINT at{};
  GetCursorPos(&at);
  SetForegroundWindow(window);
  TrackPopupMenu(GetSubMenu(bar, 0), TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  PostMessageA(window, WM_NULL, 0, 0);
  DestroyMenu(bar);
}

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {  // Escape does not close it
    DestroyWindow(dialog);
    g_program->about = nullptr;
    return TRUE;
  }
  return FALSE;
}

// The end of either shutdown path, once the servers have stopped.
void Quit(HWND window, int exitCode) {
  g_program->view.release();
  Shell_NotifyIconA(NIM_DELETE, &g_program->tray);
  PostQuitMessage(exitCode);
  (void)window;
}

void Command(HWND window, WORD id) {
  Program& p = *g_program;
  switch (id) {
    case IDM_EXIT:
      if (MessageBoxA(window, "Выйти из программы?", "Выход из QUELMA", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
      p.procedure->handle(app::kWmClose, 0, 0);
      if (p.procedure->exitCode()) Quit(window, *p.procedure->exitCode());
      return;
    case IDM_CLEAR_LOG:
      if (MessageBoxA(window, "Очистить файл журнала?", "Очистка журнала", MB_YESNO | MB_ICONQUESTION) == IDYES) {
        app::ClearLogFile(p.programDir + "quelma.log");
      }
      return;
    case IDM_ABOUT:
      if (p.about) {
        SetFocus(p.about);
      } else {
        p.about = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), window, AboutProcedure, 0);
      }
      return;
    case IDM_SEND_RECEIVE:
    case IDM_BREAK:
      p.procedure->handle(app::kWmCommand, id, 0);
      return;
    default:
      return;  // the settings dialogs and help come with their own work
  }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Program& p = *g_program;
  switch (message) {
    case WM_CREATE:
      p.mainWindow = window;
      CreateStatusBar(window);
      return 0;
    case WM_PAINT:
      p.view.paint();
      return 0;
    case WM_COMMAND:
      Command(window, LOWORD(wParam));
      return 0;
    case WM_CLOSE:
      Command(window, IDM_EXIT);
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {  // into the tray
        ShowWindow(window, SW_MINIMIZE);
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
    case app::UM_TRAY_ICON:
      if (lParam == WM_LBUTTONDOWN) {
        ShowWindow(window, SW_SHOWNORMAL);
        SetForegroundWindow(window);
      } else if (lParam == WM_RBUTTONDOWN) {
        ShowTrayMenu(window);
      }
      return 0;
    case WM_TIMER:
    case app::UM_LOG_LINE:
    case app::UM_START_SESSION:
    case app::UM_WORKER_DONE:
    case app::UM_CONNECTED:
      return p.procedure->handle(message, wParam, lParam);
    case app::UM_SHUTDOWN:
      p.procedure->handle(message, wParam, lParam);
      if (p.procedure->exitCode()) Quit(window, *p.procedure->exitCode());
      return 0;
    case WM_DESTROY:
      p.view.release();
      Shell_NotifyIconA(NIM_DELETE, &p.tray);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  const auto programDir = platform::ExecutableDirectory();
  if (!programDir) return 0;
  const auto single = platform::InstanceLock::TryAcquire(*programDir);
  if (!single) {
    if (HWND first = FindWindowA(kClassName, kTitle)) {
      ShowWindow(first, SW_SHOW);
      ShowWindow(first, SW_SHOWNORMAL);
      SetForegroundWindow(first);
    }
    return 1;
  }
  platform::MakeCurrentDirectory(*programDir);
  static Program program(*programDir);  // lives until the process ends; workers may outlast WinMain
  g_program = &program;
  config::Configuration working = config::DefaultConfiguration(*programDir);
  config::LoadConfiguration(*programDir, program.sorter, working);
  program.store.publish(std::move(working));
  program.procedure = std::make_unique<app::MainWindowProcedure>(*programDir + "quelma.log", program.store,
                                                                 program.control, program.view, PumpOnce);
  program.log = std::make_unique<app::ActivityLog>(program.window, program.control, platform::SystemClock());
  program.workers = std::make_unique<app::ThreadWorkers>(program.window, *program.log, program.sorter, *programDir,
                                                         *program.access, program.dialer);
  program.session = std::make_unique<app::SessionControl>(app::SessionContext{
      program.store,
      [] {
        config::Configuration fresh = *program.store.current();
        config::LoadConfiguration(program.programDir, program.sorter, fresh);
        program.store.publish(std::move(fresh));
      },
      *program.log, *program.workers, *program.access, program.dialer, platform::SystemClock()});
  program.procedure->session = program.session.get();

  WNDCLASSA windowClass{};
  windowClass.style = CS_BYTEALIGNCLIENT;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QUELMA));
  if (!windowClass.hIcon) windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
  windowClass.lpszMenuName = "IDR_MENU1";
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassA(&windowClass)) return 0;
  program.control.pop3Srv.stopped = true;
  program.control.smtpSrv.stopped = true;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HWND window = CreateWindowExA(0, kClassName, kTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                CW_USEDEFAULT, CW_USEDEFAULT, 600, 305, nullptr, nullptr, instance, nullptr);
  if (!window) return 0;
  ShowWindow(window, SW_RESTORE);
  UpdateWindow(window);
  SetTimer(window, app::kSessionTimerId, app::kSessionTimerMs, nullptr);
  if (showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINNOACTIVE) SendMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  program.tray.cbSize = sizeof program.tray;
  program.tray.hWnd = window;
  program.tray.uID = IDI_QUELMA;
  program.tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  program.tray.uCallbackMessage = app::UM_TRAY_ICON;
  program.tray.hIcon = windowClass.hIcon;
  lstrcpynA(program.tray.szTip, "Quelmar Mail Server", sizeof program.tray.szTip);
  Shell_NotifyIconA(NIM_ADD, &program.tray);

  program.control.pop3Srv.stopped = false;
  program.control.smtpSrv.stopped = false;
  std::thread([] {
    pop3_server::RunPop3Server({program.window, *program.log, program.control.pop3Srv, program.store,
                                platform::SystemClock()});
  }).detach();
  std::thread([] {
    smtp_server::RunSmtpServer({program.window, *program.log, program.control.smtpSrv, program.store,
                                platform::SystemClock()});
  }).detach();

  MSG message;
  int result = 0;
  while ((result = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    if (program.about && IsDialogMessageA(program.about, &message)) continue;
    DispatchMessageA(&message);
  }
  // A message half-written into a maildrop or "mail.txt" is finished first; then the process
  // ends without destructors, so threads still at work keep what they use.
  platform::ProgramExitGate().close(std::chrono::seconds(30), PumpOnce);
  ExitProcess(static_cast<UINT>(message.wParam));
}
