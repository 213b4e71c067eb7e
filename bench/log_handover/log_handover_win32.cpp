// The Windows front end: a real main window (600 x 305) whose procedure takes each line
// sent by another thread, appends it to the log file and draws it into the log view's
// picture. Usage (under Wine on a display): log_handover_win32.exe DIR
#include <windows.h>

#include <thread>

#include "app/main_window_procedure.h"
#include "app/win32/win32_log_view.h"
#include "app/win32/win32_main_window.h"
#include "bench/log_handover/handover_run.h"
#include "config/config_store.h"
#include "platform/clock.h"

namespace {

constexpr UINT kWriterDone = WM_APP + 1;
quelma::app::MainWindowProcedure* g_procedure = nullptr;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == quelma::link::UM_LOG_LINE) return g_procedure->handle(message, wParam, lParam);
  if (message == kWriterDone) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quelma;
  if (argc != 2) return 2;
  const std::string logPath = std::string(argv[1]) + "\\quelma.log";
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = Procedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "LogHandoverBench";
  RegisterClassA(&windowClass);
  for (const std::uint32_t kilobytes : {0u, 4u, 1000u}) {
    bench::FillLogFile(logPath, kilobytes);
    config::Configuration c;
    c.LogFileSize = kilobytes;
    config::ConfigStore store(c);
    link::ServerControl control;
    app::Win32MainWindow link;
    app::Win32LogView view;
    app::MainWindowProcedure procedure(logPath, store, control, view, [] {});
    g_procedure = &procedure;
    HWND window = CreateWindowExA(0, "LogHandoverBench", "log hand-over", WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 600, 305, nullptr, nullptr, GetModuleHandleA(nullptr),
                                  nullptr);
    link.attach(window, nullptr, nullptr, nullptr);
    view.create(window, 23);  // the status bar's height in the program
    ShowWindow(window, SW_SHOW);
    link::ActivityLog log(link, control, platform::SystemClock());
    double seconds = 0;
    std::thread writer([&] {
      seconds = bench::WriteLines(log);
      PostMessageA(window, kWriterDone, 0, 0);
    });
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    writer.join();
    view.release();
    DestroyWindow(window);
    bench::Report("windows", kilobytes, seconds);
  }
  return 0;
}
