// The Linux program's main window: a log line is handled by the thread that sends it, every
// other sent message by the main thread; after close nothing more is handled.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/console/console_main_window.h"

namespace quelma::app {
namespace {

struct Handled {
  unsigned message;
  std::thread::id thread;
};

TEST(ConsoleMainWindow, LogLinesOnTheSendingThreadOtherMessagesOnTheMainThread) {
  ConsoleMainWindow window;
  std::mutex mutex;
  std::vector<Handled> handled;
  window.setHandler([&](unsigned message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
    std::lock_guard<std::mutex> hold(mutex);
    handled.push_back({message, std::this_thread::get_id()});
    return 7;
  });
  const auto main = std::this_thread::get_id();
  std::thread::id worker;
  std::atomic<bool> logged{false}, started{false};
  std::thread thread([&] {
    worker = std::this_thread::get_id();
    EXPECT_EQ(window.send(link::UM_LOG_LINE, 0, 0), 7);  // while the main thread pumps nothing
    logged = true;
    EXPECT_EQ(window.send(link::UM_START_SESSION, 0, 0), 7);
    started = true;
  });
  while (!logged) std::this_thread::yield();
  EXPECT_FALSE(started);
  while (!started) window.pumpOne(std::chrono::milliseconds(10));
  thread.join();
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[0].message, link::UM_LOG_LINE);
  EXPECT_EQ(handled[0].thread, worker);
  EXPECT_EQ(handled[1].message, link::UM_START_SESSION);
  EXPECT_EQ(handled[1].thread, main);

  window.close();
  std::thread late([&] {
    EXPECT_EQ(window.send(link::UM_LOG_LINE, 0, 0), 0);
    EXPECT_EQ(window.send(link::UM_START_SESSION, 0, 0), 0);
  });
  late.join();
  EXPECT_EQ(handled.size(), 2u);
}

}  // namespace
}  // namespace quelma::app
