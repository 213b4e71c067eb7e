// One read-only multi-line edit filling the window; a posted message carries a new text over
// from the thread that made it.
#include "app/win32/report_window.h"

#include <memory>

namespace quelma::app {
namespace {

constexpr UINT kTextReady = WM_APP + 1;  // lParam: std::string* with the text, taken over
constexpr int kTextEditId = 1;

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

void SetText(HWND window, const std::string& text) { SetDlgItemTextA(window, kTextEditId, WithCrLf(text).c_str()); }

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
      return 0;
    }
    case WM_SIZE:
      MoveWindow(GetDlgItem(window, kTextEditId), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
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
