// SendMessage/PostMessage, SB_SETTEXT and PBM_SETPOS behind the main-window link.
#include "app/win32/win32_main_window.h"

#include <commctrl.h>

namespace quelma::app {

void Win32MainWindow::attach(HWND window, HWND statusBar, HWND smtpProgress, HWND pop3Progress) {
  window_ = window;
  statusBar_ = statusBar;
  progress_ = {smtpProgress, pop3Progress};
}

std::intptr_t Win32MainWindow::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  return window_ ? SendMessageA(window_, message, wParam, lParam) : 0;
}

void Win32MainWindow::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (window_) PostMessageA(window_, message, wParam, lParam);
}

void Win32MainWindow::setStatusText(int part, const std::string& text) {
  if (statusBar_) SendMessageA(statusBar_, SB_SETTEXTA, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(text.c_str()));
}

void Win32MainWindow::setProgress(int part, int percent) {
  const HWND bar = part == link::kSmtpProgressPart ? progress_[0] : part == link::kPop3ProgressPart ? progress_[1] : nullptr;
  if (bar) SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

}  // namespace quelma::app
