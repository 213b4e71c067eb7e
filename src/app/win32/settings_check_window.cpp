// The settings check's report window: one read-only multi-line edit filling it, the check on a
// worker thread that hands its text over by a posted message.
#include "app/win32/settings_check_window.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "app/settings_check.h"
#include "app/win32/program.h"
#include "oauth/access_tokens.h"

namespace quelma::app {
namespace {

constexpr UINT kReportReady = WM_APP + 1;  // lParam: std::string* with the report, taken over
constexpr int kReportEditId = 1;

std::atomic<HWND> g_window{nullptr};  // the report window while it is open
std::atomic<bool> g_running{false};

// The edit control wants CR LF between lines.
std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (const char ch : text) {
    if (ch == '\n') out += '\r';
    out += ch;
  }
  return out;
}

void SetReportText(HWND window, const std::string& text) {
  SetDlgItemTextA(window, kReportEditId, WithCrLf(text).c_str());
}

// The check of the current settings snapshot; its text goes to the window if that still exists.
void StartCheck(HWND window) {
  if (g_running.exchange(true)) {
    SetReportText(window, "Проверка идет: ее итог появится здесь.\n");
    return;
  }
  Program& p = TheProgram();
  SetReportText(window, "Проверка идет: соединение с серверами провайдера может занять до 2 минут...\n");
  std::shared_ptr<const config::Configuration> config = p.store.current();
  std::thread([config, programDir = p.programDir, access = p.access.get()] {
    static oauth::AccessTokens tokens(programDir);  // lives with the process, as the workers' own
    const CheckReport report = RunSettingsCheck(*config, CheckRequest{}, SystemCheckContext(programDir, tokens, *access, WindowsMend));
    auto text = std::make_unique<std::string>("Проверка настроек: " + programDir + "\n\n" + FormatCheckReport(report));
    g_running = false;
    // Posted to whichever report window is open now (it may have been closed and opened again).
    if (PostMessageA(g_window.load(), kReportReady, 0, reinterpret_cast<LPARAM>(text.get()))) text.release();
  }).detach();
}

LRESULT CALLBACK ReportProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      HWND edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                      ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                  0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kReportEditId)),
                                  GetModuleHandleA(nullptr), nullptr);
      SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);  // no cut: a long report is shown whole
      SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
      return 0;
    }
    case WM_SIZE:
      MoveWindow(GetDlgItem(window, kReportEditId), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case kReportReady: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      SetReportText(window, *text);
      return 0;
    }
    case WM_DESTROY:
      g_window = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterReportClass() {
  static bool registered = false;
  if (registered) return true;
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = ReportProcedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kSettingsCheckWindowClass;
  registered = RegisterClassA(&windowClass) != 0;
  return registered;
}

}  // namespace

void OpenSettingsCheck(HWND owner) {
  if (!g_window.load()) {
    if (!RegisterReportClass()) return;
    g_window = CreateWindowExA(0, kSettingsCheckWindowClass, kSettingsCheckTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                               CW_USEDEFAULT, 760, 560, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!g_window.load()) return;
    ShowWindow(g_window.load(), SW_SHOWNORMAL);
  } else {
    ShowWindow(g_window.load(), SW_RESTORE);
    SetForegroundWindow(g_window.load());
  }
  StartCheck(g_window.load());
}

}  // namespace quelma::app
