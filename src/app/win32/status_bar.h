// The main window's status bar: the two clients' labels, each with a progress bar beside it,
// and the IMAP server's sessions.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace quelma::app {

struct StatusBar {
  HWND bar = nullptr;
  HWND smtpProgress = nullptr;
  HWND pop3Progress = nullptr;
  int height = 0;  // client bottom - top + 1; the log view ends above it
};

StatusBar CreateStatusBar(HWND window);

// The IMAP label: the sessions served now, or that the server is off (IMAP_SRV_PORT 0).
std::string ImapSessionsText(bool serverOn, std::size_t sessions);

}  // namespace quelma::app
