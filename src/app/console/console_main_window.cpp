// Cross-thread send and post for the console: send waits for the main thread's handling; a
// log line is handled on the thread that sends it.
#include "app/console/console_main_window.h"

namespace quelma::app {

std::intptr_t ConsoleMainWindow::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  // Log lines need nothing of the main thread but one writer at a time: each is handled under
  // the log's own lock, and is in the file and on the terminal when send returns, as a
  // hand-over would have it, without two thread switches per line.
  if (message == link::UM_LOG_LINE) {
    std::lock_guard<std::mutex> hold(logMutex_);
    return handler_ && !logClosed_ ? handler_(message, wParam, lParam) : 0;
  }
  if (std::this_thread::get_id() == mainThread_) return handler_ ? handler_(message, wParam, lParam) : 0;
  auto pending = std::make_shared<Pending>(Pending{message, wParam, lParam, true});
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return 0;
  queue_.push_back(pending);
  arrived_.notify_one();
  handled_.wait(lock, [&] { return pending->done; });
  return pending->result;
}

void ConsoleMainWindow::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> hold(mutex_);
  queue_.push_back(std::make_shared<Pending>(Pending{message, wParam, lParam, false}));
  arrived_.notify_one();
}

void ConsoleMainWindow::close() {
  {
    std::lock_guard<std::mutex> hold(logMutex_);  // a line being written is finished first
    logClosed_ = true;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = true;
  for (auto& pending : queue_) pending->done = true;
  queue_.clear();
  handled_.notify_all();
}

bool ConsoleMainWindow::pumpOne(std::chrono::milliseconds timeout) {
  std::shared_ptr<Pending> next;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); })) return false;
    next = queue_.front();
    queue_.pop_front();
  }
  const std::intptr_t result = handler_ ? handler_(next->message, next->wParam, next->lParam) : 0;
  if (next->synchronous) {
    std::lock_guard<std::mutex> hold(mutex_);
    next->result = result;
    next->done = true;
    handled_.notify_all();
  }
  return true;
}

}  // namespace quelma::app
