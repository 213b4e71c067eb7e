// The status is put together on the main thread: the board's snapshot, the settings and the
// spool's figures read from the disk take a moment even with many maildrops.
#include "app/win32/status_window.h"

#include <ctime>
#include <string>

#include "app/alert_watch.h"
#include "app/win32/program.h"
#include "app/win32/report_window.h"
#include "platform/clock.h"
#include "status/status_report.h"
#include "status/status_text.h"

namespace quelma::app {
namespace {

std::string StatusText() {
  Program& p = TheProgram();
  const status::ProgramStatus gathered = status::GatherStatus(p.programDir, *p.store.current(), p.board->snapshot(), true);
  return status::FormatStatusText(gathered, UtcOffsetSeconds(platform::SystemClock(), std::time(nullptr)));
}

ReportWindow& Window() {
  static ReportWindow window(kStatusWindowClass, kStatusTitle, StatusText);
  return window;
}

}  // namespace

void OpenStatusWindow(HWND owner) { Window().open(owner, StatusText()); }

}  // namespace quelma::app
