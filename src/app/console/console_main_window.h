// The main window of the Linux program: a message queue drained by the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "link/main_window.h"

namespace quelma::app {

class ConsoleMainWindow final : public link::MainWindow {
 public:
  using Handler = std::function<std::intptr_t(unsigned, std::uintptr_t, std::intptr_t)>;

  // The thread that constructs the window is its main thread.
  ConsoleMainWindow() : mainThread_(std::this_thread::get_id()) {}
  void setHandler(Handler handler) { handler_ = std::move(handler); }

  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void setStatusText(int, const std::string&) override {}
  void setProgress(int, int) override {}

  // Main thread: handles the next message, waiting at most `timeout`; false if none came.
  bool pumpOne(std::chrono::milliseconds timeout);

  // The main thread handles nothing more: every waiting and later send returns at once.
  void close();

 private:
  struct Pending {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool synchronous;
    bool done = false;
    std::intptr_t result = 0;
  };
  std::thread::id mainThread_;
  Handler handler_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable handled_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool closed_ = false;
  std::mutex logMutex_;  // one log line handled at a time, on the thread that sends it
  bool logClosed_ = false;
};

}  // namespace quelma::app
