// Six parts, their right edges at 130, H, H + 130, W - 260, W - 130 and W (H halfway between
// 130 and W - 260); a progress bar (0 to 100) covers each of parts 1 and 3 exactly, part 4 is
// the IMAP server's label and part 5 push's.
#include "app/win32/status_bar.h"

#include <commctrl.h>

#include "link/main_window.h"
#include "resource_ids.h"

namespace quelma::app {

StatusBar CreateStatusBar(HWND window) {
  StatusBar made;
  made.bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUSBAR)), GetModuleHandleA(nullptr),
                             nullptr);
  if (!made.bar) return made;
  RECT client{};
  GetClientRect(made.bar, &client);
  const int w = client.right - client.left;
  constexpr int kLabel = 130;
  const int half = (w - 2 * kLabel) / 2;
  int edges[6] = {kLabel, half, half + kLabel, w - 2 * kLabel, w - kLabel, w};
  SendMessageA(made.bar, SB_SETPARTS, 6, reinterpret_cast<LPARAM>(edges));
  SendMessageA(made.bar, SB_SETTEXTA, link::kSmtpLabelPart, reinterpret_cast<LPARAM>("SMTP клиент"));
  SendMessageA(made.bar, SB_SETTEXTA, link::kPop3LabelPart, reinterpret_cast<LPARAM>("POP3 клиент"));
  for (const int part : {link::kSmtpProgressPart, link::kPop3ProgressPart}) {
    RECT r{};
    SendMessageA(made.bar, SB_GETRECT, part, reinterpret_cast<LPARAM>(&r));
    HWND progress = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, r.left, r.top, r.right - r.left,
                                    r.bottom - r.top, made.bar, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(progress, PBM_SETPOS, 0, 0);
    (part == link::kSmtpProgressPart ? made.smtpProgress : made.pop3Progress) = progress;
  }
  RECT barRect{};
  GetClientRect(made.bar, &barRect);
  made.height = barRect.bottom - barRect.top + 1;
  return made;
}

std::string ImapSessionsText(bool serverOn, std::size_t sessions) {
  return serverOn ? "IMAP сеансов: " + std::to_string(sessions) : std::string("IMAP выключен");
}

}  // namespace quelma::app
