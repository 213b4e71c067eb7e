#include "dialogs/win32/settings_windows.h"

#include <commctrl.h>

#include "win32_ui/html_help.h"

namespace quelma::dialogs {

namespace {
SettingsContext g_context;  // main thread only
}  // namespace

void SetSettingsContext(SettingsContext context) { g_context = std::move(context); }
SettingsContext& Settings() { return g_context; }

void CloseModeless(HWND dialog) {
  DestroyWindow(dialog);
  if (g_context.closed) g_context.closed(dialog);
}

INT_PTR ModelessDispatch(const ModelessHandlers& h, HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      h.open(dialog);
      return TRUE;
    case WM_COMMAND:
      if (h.command(dialog, LOWORD(wParam), HIWORD(wParam))) {
        h.closed();
        CloseModeless(dialog);
      }
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (h.listView != 0 && header->idFrom == static_cast<UINT_PTR>(h.listView) && header->code == NM_DBLCLK) {
        h.command(dialog, h.doubleClickCommand, 0);  // an edit, which never ends the dialog
      }
      return TRUE;
    }
    case WM_HELP:
      win32_ui::ShowHtmlHelp(GetDesktopWindow(), h.helpTarget, h.helpCommand, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace quelma::dialogs
