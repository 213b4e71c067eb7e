// The main window's procedure: the menu commands, minimise to the tray, the tray icon, help,
// and the two ways out (the user's exit and UM_SHUTDOWN).
#include "app/win32/main_window_class.h"

#include "link/log_file.h"
#include "app/win32/about_box.h"
#include "app/win32/backup_menu.h"
#include "win32_ui/html_help.h"
#include "app/win32/program.h"
#include "app/win32/settings_check_window.h"
#include "app/win32/status_bar.h"
#include "app/win32/status_window.h"
#include "app/win32/tray_icon.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::app {

namespace {

// The end of either shutdown path, once the servers have stopped: the drawing objects and
// the tray icon go, and the message loop ends with the exit code.
void QuitWhenStopped() {
  Program& p = TheProgram();
  if (!p.procedure->exitCode()) return;
  p.view.release();
  DeleteTrayIcon(p.tray);
  PostQuitMessage(*p.procedure->exitCode());
}

void OpenModeless(HWND window, ModelessDialog which, const char* resource, DLGPROC procedure) {
  ModelessDialogs& dialogs = TheProgram().dialogs;
  switch (dialogs.request(which)) {
    case ModelessDialogs::Opening::kFocus:
      SetFocus(static_cast<HWND>(dialogs.handle(which)));
      return;
    case ModelessDialogs::Opening::kOtherOpen:
      return;
    case ModelessDialogs::Opening::kCreate: {
      // A dialog that cannot open (sorter.cfg unreadable) has destroyed itself already.
      HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), resource, window, procedure, 0);
      if (dialog && IsWindow(dialog)) dialogs.opened(which, dialog);
      TheProgram().session->settingsDialogOpen = dialogs.settingsDialogOpen();
      return;
    }
  }
}

void ShowContents() { win32_ui::ShowHtmlHelp(GetDesktopWindow(), "quelma.chm", win32_ui::kHelpDisplayContents, 0); }

void Command(HWND window, WORD id) {
  Program& p = TheProgram();
  switch (id) {
    case IDM_EXIT:
      if (p.procedure->shuttingDown()) return;
      if (MessageBoxA(window, "Выйти из программы?", "Выход из QUELMA", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
      p.procedure->handle(link::kWmClose, 0, 0);
      QuitWhenStopped();
      return;
    case IDM_EXIT_QUIETLY:
      if (p.procedure->shuttingDown()) return;
      p.procedure->handle(link::kWmClose, 0, 0);
      QuitWhenStopped();
      return;
    case IDM_CLEAR_LOG:
      if (MessageBoxA(window, "Очистить файл журнала?", "Очистка журнала", MB_YESNO | MB_ICONQUESTION) == IDYES) {
        link::ClearLogFile(p.programDir + "quelma.log");
      }
      return;
    case IDM_HELP:
      ShowContents();
      return;
    case IDM_ABOUT:
      OpenModeless(window, ModelessDialog::kAbout, MAKEINTRESOURCEA(IDD_ABOUT), AboutProcedure);
      return;
    case IDM_SERVERS:
      OpenModeless(window, ModelessDialog::kServers, "IDD_GOPT", dialogs::ServersProcedure);
      return;
    case IDM_COMMUNICATION:
      OpenModeless(window, ModelessDialog::kCommunication, "IDD_TRANSOPTS2", dialogs::CommunicationProcedure);
      return;
    case IDM_SORTER:
      OpenModeless(window, ModelessDialog::kSorter, "IDD_SORTEROPT", dialogs::SorterProcedure);
      return;
    case IDM_SCHEDULER:
      OpenModeless(window, ModelessDialog::kScheduler, "IDD_SCHED", dialogs::SchedulerProcedure);
      return;
    case IDM_CHECK_SETTINGS:
      OpenSettingsCheck(window);
      return;
    case IDM_STATUS:
      OpenStatusWindow(window);
      return;
    case IDM_BACKUP:
      StartBackupFromMenu(window);
      return;
    case IDM_RESTORE:
      StartRestoreFromMenu(window);
      return;
    case IDM_SEND_RECEIVE:
    case IDM_BREAK:
      p.procedure->handle(link::kWmCommand, id, 0);
      return;
    default:
      return;
  }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Program& p = TheProgram();
  switch (message) {
    case WM_CREATE: {
      p.mainWindow = window;
      const StatusBar bar = CreateStatusBar(window);
      p.window.attach(window, bar.bar, bar.smtpProgress, bar.pop3Progress);
      p.view.create(window, bar.height);
      return 0;
    }
    case WM_PAINT:
      p.view.paint();
      return 0;
    case WM_COMMAND:
      Command(window, LOWORD(wParam));
      return 0;
    case WM_CLOSE:
      Command(window, IDM_EXIT);
      return 0;
    case WM_HELP:
      ShowContents();
      return TRUE;
    case WM_SYSCOMMAND:
      if (wParam == SC_MINIMIZE) {  // into the tray: only the icon remains
        ShowWindow(window, SW_MINIMIZE);
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
    case link::UM_TRAY_ICON:
      HandleTrayMouse(window, lParam);
      return 0;
    case WM_TIMER:
    case link::UM_LOG_LINE:
    case link::UM_START_SESSION:
    case link::UM_WORKER_DONE:
    case link::UM_CONNECTED:
      return p.procedure->handle(message, wParam, lParam);
    case link::UM_SHUTDOWN:
      p.procedure->handle(message, wParam, lParam);
      QuitWhenStopped();
      return 0;
    case WM_DESTROY:
      p.view.release();
      DeleteTrayIcon(p.tray);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void ModelessDialogClosed(HWND dialog) {
  Program& p = TheProgram();
  for (std::size_t i = 0; i < kModelessDialogCount; ++i) {
    if (p.dialogs.all()[i] == dialog) p.dialogs.closed(static_cast<ModelessDialog>(i));
  }
  p.session->settingsDialogOpen = p.dialogs.settingsDialogOpen();
}

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.style = CS_BYTEALIGNCLIENT;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QUELMA));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
  windowClass.lpszMenuName = "IDR_MENU1";
  windowClass.lpszClassName = kMainWindowClass;
  return RegisterClassA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  return CreateWindowExA(0, kMainWindowClass, kMainWindowTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                         CW_USEDEFAULT, CW_USEDEFAULT, 600, 305, nullptr, nullptr, instance, nullptr);
}

}  // namespace quelma::app
