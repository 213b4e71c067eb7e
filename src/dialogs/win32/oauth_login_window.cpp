// IDD_OAUTH_DEVICE and IDD_OAUTH_BROWSER: the flow runs on a worker thread that posts what the
// window shows; Cancel asks it to stop at its next pause, and the window closes itself once
// the worker is done, so nothing outlives the dialog.
#include "dialogs/win32/oauth_login_window.h"

#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "win32_ui/dialog_controls.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

constexpr UINT kShow = WM_APP + 1;      // the worker has a code or a URL to show
constexpr UINT kFinished = WM_APP + 2;  // the worker's result is in

struct LoginRun {
  OauthFirstLogin* login = nullptr;
  HWND dialog = nullptr;
  HFONT codeFont = nullptr;
  std::thread worker;
  std::mutex mutex;  // guards what follows
  std::condition_variable wake;
  bool cancelled = false;
  std::optional<oauth::DeviceLoginPrompt> prompt;
  std::string browserUrl;
  oauth::FirstLoginResult result;
};

bool Pause(LoginRun& run, std::uint32_t milliseconds) {
  std::unique_lock lock(run.mutex);
  run.wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [&run] { return run.cancelled; });
  return !run.cancelled;
}

void Work(LoginRun* run) {
  const oauth::FirstLoginResult result = run->login->run(
      [run](const oauth::DeviceLoginPrompt& prompt) {
        std::lock_guard lock(run->mutex);
        run->prompt = prompt;
        PostMessageA(run->dialog, kShow, 0, 0);
      },
      [run](const std::string& url) {
        std::lock_guard lock(run->mutex);
        run->browserUrl = url;
        PostMessageA(run->dialog, kShow, 0, 0);
      },
      [run](std::uint32_t milliseconds) { return Pause(*run, milliseconds); });
  std::lock_guard lock(run->mutex);
  run->result = result;
  PostMessageA(run->dialog, kFinished, 0, 0);
}

void OpenInBrowser(const std::string& url) {
  if (url.empty()) return;
  const std::wstring wide(url.begin(), url.end());  // the URLs are ASCII
  ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// The address the "Открыть в браузере" button opens: the one with the code in it, when given.
std::string AddressToOpen(LoginRun& run) {
  std::lock_guard lock(run.mutex);
  if (!run.prompt) return run.browserUrl;
  return run.prompt->verificationUriComplete.empty() ? run.prompt->verificationUri : run.prompt->verificationUriComplete;
}

void ShowDeviceCode(HWND dialog, const oauth::DeviceLoginPrompt& prompt) {
  win32_ui::SetItemText(dialog, IDC_OAUTH_URL, prompt.verificationUri);
  win32_ui::SetItemText(dialog, IDC_OAUTH_CODE, prompt.userCode);
  win32_ui::SetItemText(dialog, IDC_OAUTH_STATUS, "Ожидаю подтверждения входа. Код действует " +
                                                      std::to_string((prompt.expiresIn + 59) / 60) + " мин.");
}

void Show(HWND dialog, LoginRun& run) {
  std::optional<oauth::DeviceLoginPrompt> prompt;
  std::string url;
  {
    std::lock_guard lock(run.mutex);
    prompt = run.prompt;
    url = run.browserUrl;
  }
  if (prompt) {
    ShowDeviceCode(dialog, *prompt);
  } else {
    win32_ui::SetItemText(dialog, IDC_OAUTH_URL, url);
    OpenInBrowser(url);
  }
  win32_ui::EnableItems(dialog, {IDC_OAUTH_OPEN}, true);
}

void Start(HWND dialog, LoginRun& run) {
  run.dialog = dialog;
  if (GetDlgItem(dialog, IDC_OAUTH_CODE)) {
    run.codeFont = CreateFontA(-28, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New");
    SendDlgItemMessageA(dialog, IDC_OAUTH_CODE, WM_SETFONT, reinterpret_cast<WPARAM>(run.codeFont), FALSE);
  }
  run.worker = std::thread(Work, &run);
}

INT_PTR CALLBACK LoginProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* run = win32_ui::StateOf<LoginRun>(dialog, message, lParam);
  switch (message) {
    case WM_INITDIALOG:
      Start(dialog, *run);
      // Not the address field: its caret would stand over the address's first letter.
      SetFocus(GetDlgItem(dialog, IDCANCEL));
      return FALSE;
    case kShow:
      Show(dialog, *run);
      return TRUE;
    case kFinished:
      EndDialog(dialog, IDOK);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_OAUTH_OPEN) {
        OpenInBrowser(AddressToOpen(*run));
      } else if (LOWORD(wParam) == IDCANCEL) {
        {
          std::lock_guard lock(run->mutex);
          run->cancelled = true;
        }
        run->wake.notify_all();
        win32_ui::SetItemText(dialog, IDC_OAUTH_STATUS, "Прерываю вход...");
        win32_ui::EnableItems(dialog, {IDCANCEL, IDC_OAUTH_OPEN}, false);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void RunOauthLoginWindow(HWND owner, OauthFirstLogin& login, Prompt& prompt) {
  LoginRun run;
  run.login = &login;
  const char* resource = login.flow() == oauth::FirstLogin::kDevice ? "IDD_OAUTH_DEVICE" : "IDD_OAUTH_BROWSER";
  DialogBoxParamA(GetModuleHandleA(nullptr), resource, owner, LoginProcedure, reinterpret_cast<LPARAM>(&run));
  if (!run.worker.joinable()) return;  // the dialog did not open
  run.worker.join();
  if (run.codeFont) DeleteObject(run.codeFont);
  if (const auto outcome = OauthLoginOutcome(run.result)) prompt.ask(*outcome);
}

void StartOauthLogin(HWND owner, OauthFirstLogin login, Prompt& prompt) {
  if (login.problem()) {
    prompt.ask(*login.problem());
    return;
  }
  RunOauthLoginWindow(owner, login, prompt);
}

}  // namespace quelma::dialogs
