// The program's help: the HTML Help control, loaded on first use so that the program runs
// (without help) where the control is missing.
#pragma once

#include <windows.h>

namespace quelma::win32_ui {

// Help commands of the HTML Help interface.
constexpr UINT kHelpDisplayTopic = 0;
constexpr UINT kHelpDisplayContents = 1;

// Shows `target` ("quelma.chm" or "quelma.chm::/page.htm", relative to the folder of
// quelma.exe). Returns the help entry's result, or 0 when help is unavailable; once it is, no
// later request tries again.
HWND ShowHtmlHelp(HWND caller, const char* target, UINT command, DWORD_PTR data);

// The file path of the registered HTML Help control: 1 with `path` filled, or 0.
int LocateHelpControl(char (&path)[MAX_PATH]);

}  // namespace quelma::win32_ui
