// The settings check's report window: the check on a worker thread that hands its text over.
#include "app/win32/settings_check_window.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "app/settings_check.h"
#include "app/win32/program.h"
#include "app/win32/report_window.h"
#include "oauth/access_tokens.h"

namespace quelma::app {
namespace {

std::atomic<bool> g_running{false};

ReportWindow& Window() {
  static ReportWindow window(kSettingsCheckWindowClass, kSettingsCheckTitle);
  return window;
}

// The check of the current settings snapshot; its text goes to the window if that still exists.
void StartCheck() {
  if (g_running.exchange(true)) {
    Window().post("Проверка идет: ее итог появится здесь.\n");
    return;
  }
  Program& p = TheProgram();
  Window().post("Проверка идет: соединение с серверами провайдера может занять до 2 минут...\n");
  std::shared_ptr<const config::Configuration> config = p.store.current();
  std::thread([config, programDir = p.programDir, access = p.access.get()] {
    static oauth::AccessTokens tokens(programDir);  // lives with the process, as the workers' own
    const CheckReport report = RunSettingsCheck(*config, CheckRequest{}, SystemCheckContext(programDir, tokens, *access, WindowsMend));
    std::string text = "Проверка настроек: " + programDir + "\n\n" + FormatCheckReport(report);
    g_running = false;
    // To whichever report window is open now (it may have been closed and opened again).
    Window().post(std::move(text));
  }).detach();
}

}  // namespace

void OpenSettingsCheck(HWND owner) {
  if (Window().open(owner, "")) StartCheck();
}

}  // namespace quelma::app
