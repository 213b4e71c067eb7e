// One read-only multi-line edit filling the window (above the "Обновить" button, when there is
// one); a posted message carries a new text over from the thread that made it.
#include "app/win32/report_window.h"

#include <memory>

namespace quelma::app {
namespace {

constexpr UINT kTextReady = WM_APP + 1;  // lParam: std::string* with the text, taken over
constexpr int kTextEditId = 1;
constexpr int kRefreshButtonId = 2;
constexpr int kButtonWidth = 100;
constexpr int kButtonHeight = 26;
constexpr int kButtonMargin = 6;

// The edit control wants CR LF between lines; a text may hold both kinds (an alert's lines are
// made for a mail message), and a CR doubled before LF would show as a stray mark.
std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (const char ch : text) {
    if (ch == '\n' && (out.empty() || out.back() != '\r')) out += '\r';
    out += ch;
  }
  return out;
}

void SetText(HWND window, const std::string& text) { SetDlgItemTextA(window, kTextEditId, WithCrLf(text).c_str()); }

void MakeRefreshButton(HWND window) {
  HWND button = CreateWindowExA(0, "BUTTON", "Обновить", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
                                window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kRefreshButtonId)),
                                GetModuleHandleA(nullptr), nullptr);
  SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
}

// The text fills the window; the button, when there is one, sits in a strip at its bottom right.
void Arrange(HWND window, int width, int height) {
  HWND button = GetDlgItem(window, kRefreshButtonId);
  const int strip = button ? kButtonHeight + 2 * kButtonMargin : 0;
  MoveWindow(GetDlgItem(window, kTextEditId), 0, 0, width, height > strip ? height - strip : 0, TRUE);
  if (button) {
    MoveWindow(button, width > kButtonWidth + kButtonMargin ? width - kButtonWidth - kButtonMargin : 0,
               height > strip ? height - strip + kButtonMargin : 0, kButtonWidth, kButtonHeight, TRUE);
  }
}

}  // namespace

LRESULT CALLBACK ReportWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      HWND edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                      ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                  0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextEditId)),
                                  GetModuleHandleA(nullptr), nullptr);
      SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);  // no cut: a long report is shown whole
      SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
      if (create->lpCreateParams && static_cast<ReportWindow*>(create->lpCreateParams)->refresh_) MakeRefreshButton(window);
      return 0;
    }
    case WM_SIZE:
      Arrange(window, LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kRefreshButtonId && HIWORD(wParam) == BN_CLICKED) {
        auto* self = reinterpret_cast<ReportWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && self->refresh_) SetText(window, self->refresh_());
      }
      return 0;
    case kTextReady: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      SetText(window, *text);
      return 0;
    }
    case WM_DESTROY:
      if (auto* self = reinterpret_cast<ReportWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA))) self->window_ = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool ReportWindow::open(HWND owner, const std::string& text) {
  if (!window_.load()) {
    WNDCLASSA windowClass{};
    if (!GetClassInfoA(GetModuleHandleA(nullptr), className_, &windowClass)) {
      windowClass.lpfnWndProc = Procedure;
      windowClass.hInstance = GetModuleHandleA(nullptr);
      windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
      windowClass.hIcon = owner ? reinterpret_cast<HICON>(GetClassLongPtrA(owner, GCLP_HICON)) : nullptr;  // the program's
      windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
      windowClass.lpszClassName = className_;
      if (!RegisterClassA(&windowClass)) return false;
    }
    window_ = CreateWindowExA(0, className_, title_, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 760, 560, owner,
                              nullptr, GetModuleHandleA(nullptr), this);
    if (!window_.load()) return false;
    ShowWindow(window_.load(), SW_SHOWNORMAL);
  } else {
    ShowWindow(window_.load(), SW_RESTORE);
    SetForegroundWindow(window_.load());
  }
  SetText(window_.load(), text);
  return true;
}

void ReportWindow::post(std::string text) {
  auto owned = std::make_unique<std::string>(std::move(text));
  if (PostMessageA(window_.load(), kTextReady, 0, reinterpret_cast<LPARAM>(owned.get()))) owned.release();
}

}  // namespace quelma::app
