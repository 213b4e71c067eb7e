// The main-window link on Windows: messages to the real window, and the status bar's parts
// and progress bars set directly, as every thread may do.
#pragma once

#include <windows.h>

#include <array>

#include "link/main_window.h"

namespace quelma::app {

class Win32MainWindow final : public link::MainWindow {
 public:
  // Called on the main thread once the window, its status bar and the two progress bars exist.
  void attach(HWND window, HWND statusBar, HWND smtpProgress, HWND pop3Progress);

  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void setStatusText(int part, const std::string& text) override;
  void setProgress(int part, int percent) override;

 private:
  HWND window_ = nullptr;
  HWND statusBar_ = nullptr;
  std::array<HWND, 2> progress_{};  // parts 1 (SMTP) and 3 (POP3)
};

}  // namespace quelma::app
