// The window class "MailServer" and its window procedure.
#pragma once

#include <windows.h>

namespace quelma::app {

// Registers the class; false when the system refuses.
bool RegisterMainWindowClass(HINSTANCE instance);

// 600 x 305, fixed size, caption with system menu and minimise box; null on failure.
HWND CreateMainWindow(HINSTANCE instance);

}  // namespace quelma::app
