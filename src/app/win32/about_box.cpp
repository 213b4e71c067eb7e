// Only OK closes the About box; Escape (IDCANCEL) and every other command leave it open.
#include "app/win32/about_box.h"

#include "quelma_version.h"
#include "resource_ids.h"
#include "win32_ui/html_help.h"
#include "app/win32/program.h"

namespace quelma::app {

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      // The version of the version record (resources/quelma.rc), as "quelma --version" says it.
      SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, "Версия " QUELMA_VERSION);
      return TRUE;
    case WM_HELP:
      win32_ui::ShowHtmlHelp(GetDesktopWindow(), "quelma.chm::/disclaimer.htm", win32_ui::kHelpDisplayTopic, 0);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        DestroyWindow(dialog);
        ModelessDialogClosed(dialog);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace quelma::app
