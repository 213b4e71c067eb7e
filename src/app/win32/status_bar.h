// The main window's status bar: the two clients' labels, each with a progress bar beside it.
#pragma once

#include <windows.h>

namespace quelma::app {

struct StatusBar {
  HWND bar = nullptr;
  HWND smtpProgress = nullptr;
  HWND pop3Progress = nullptr;
  int height = 0;  // client bottom - top + 1; the log view ends above it
};

StatusBar CreateStatusBar(HWND window);

}  // namespace quelma::app
