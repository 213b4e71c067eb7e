// The Linux front end: the console main window's queue, drained by the main thread, the log
// file, and the terminal view (written to /dev/null). Usage: log_handover_console DIR
#include <cstdio>
#include <thread>

#include "app/console/console_main_window.h"
#include "app/console/terminal_log_view.h"
#include "app/main_window_procedure.h"
#include "bench/log_handover/handover_run.h"
#include "config/config_store.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
  using namespace quelma;
  if (argc != 2) return 2;
  const std::string logPath = std::string(argv[1]) + "/quelma.log";
  std::FILE* devNull = std::fopen("/dev/null", "w");
  for (const std::uint32_t kilobytes : {0u, 4u, 1000u}) {
    bench::FillLogFile(logPath, kilobytes);
    config::Configuration c;
    c.LogFileSize = kilobytes;
    config::ConfigStore store(c);
    link::ServerControl control;
    app::ConsoleMainWindow window;
    app::TerminalLogView view(devNull);
    app::MainWindowProcedure procedure(logPath, store, control, view, [] {});
    window.setHandler([&](unsigned m, std::uintptr_t w, std::intptr_t l) { return procedure.handle(m, w, l); });
    link::ActivityLog log(window, control, platform::SystemClock());
    double seconds = 0;
    bool done = false;
    std::thread writer([&] {
      seconds = bench::WriteLines(log);
      window.post(link::UM_WORKER_DONE, 0, 0);  // wakes the loop below
      done = true;
    });
    while (!done) window.pumpOne(std::chrono::milliseconds(50));
    writer.join();
    bench::Report("console", kilobytes, seconds);
  }
  return 0;
}
