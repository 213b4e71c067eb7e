// The log view of the Windows program: an off-screen picture that each new line is drawn
// into, copied to the window in one piece when it is painted.
#pragma once

#include <windows.h>

#include <optional>

#include "app/log_view_layout.h"
#include "app/main_window_procedure.h"

namespace quelma::app {

class Win32LogView final : public LogView {
 public:
  // In WM_CREATE, once the status bar of `statusBarHeight` pixels exists.
  void create(HWND window, int statusBarHeight);
  void release();  // pen, bitmap and memory device context
  void showLine(link::LogSource source, std::string_view lineWithoutCrLf) override;
  void paint();

 private:
  RECT viewRect() const;

  HWND window_ = nullptr;
  int statusBarHeight_ = 0;
  RECT view_{};
  HDC memory_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  HFONT font_ = nullptr;
  HPEN pen_ = nullptr;
  std::optional<LogViewLayout> layout_;
};

}  // namespace quelma::app
