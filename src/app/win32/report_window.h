// A resizable window with a read-only text the administrator can select and copy: the settings
// check's report, a backup's or restore's outcome, the program's status. Each kind has one
// window, its text filled in by work on another thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace quelma::app {

class ReportWindow {
 public:
  // `className` names the kind (tests find the window by it). With `refresh`, a button
  // "Обновить" under the text fills it with what `refresh` gives then (on the window's thread).
  ReportWindow(const char* className, const char* title, std::function<std::string()> refresh = {})
      : className_(className), title_(title), refresh_(std::move(refresh)) {}

  // Opens the window (or brings it forward) showing `text`; false when it cannot be made.
  bool open(HWND owner, const std::string& text);
  // Hands `text` to the window open now, from any thread; dropped when none is open.
  void post(std::string text);
  bool isOpen() const { return window_.load() != nullptr; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  const char* className_;
  const char* title_;
  std::function<std::string()> refresh_;
  std::atomic<HWND> window_{nullptr};
};

}  // namespace quelma::app
