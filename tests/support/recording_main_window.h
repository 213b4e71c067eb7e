// A main window for tests: it records every message and every log line it is sent.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "link/activity_log.h"
#include "link/main_window.h"

namespace quelma::testing {

class RecordingMainWindow final : public link::MainWindow {
 public:
  struct Message {
    unsigned message;
    std::uintptr_t wParam;
    bool posted = false;
  };

  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard<std::mutex> hold(mutex_);
    messages_.push_back({message, wParam, false});
    if (message == link::UM_LOG_LINE) lines_.push_back(*reinterpret_cast<const std::string*>(lParam));
    return 0;
  }
  void post(unsigned message, std::uintptr_t wParam, std::intptr_t) override {
    std::lock_guard<std::mutex> hold(mutex_);
    messages_.push_back({message, wParam, true});
  }
  void setStatusText(int, const std::string& text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    statusTexts_.push_back(text);
  }
  std::vector<std::string> statusTexts() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return statusTexts_;
  }
  void setProgress(int part, int percent) override {
    std::lock_guard<std::mutex> hold(mutex_);
    progress_.emplace_back(part, percent);
  }
  std::vector<std::pair<int, int>> progress() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return progress_;
  }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::vector<Message> messages() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return messages_;
  }
  // The log lines without their date and time stamp ("POP3SRV> text\r\n").
  std::vector<std::string> unstampedLines() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.size() > 21 ? line.substr(21) : line);
    return out;
  }
  // The same without a session's number ("POP3SRV> [3] text" -> "POP3SRV> text").
  std::vector<std::string> unlabelledLines() const {
    std::vector<std::string> out;
    for (std::string line : unstampedLines()) {
      const auto tag = line.find("> [");
      const auto end = tag == std::string::npos ? tag : line.find("] ", tag);
      if (end != std::string::npos) line.erase(tag + 2, end + 2 - (tag + 2));
      out.push_back(line);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::vector<std::string> lines_;
  std::vector<std::string> statusTexts_;
  std::vector<std::pair<int, int>> progress_;
};

}  // namespace quelma::testing
