// Writes that the program's end must not cut in half (a message into a maildrop, a download
// into "mail.txt") hold the exit gate; the end closes it, which waits for those in progress
// and lets no new one begin.
#pragma once

#include <chrono>
#include <functional>
#include <shared_mutex>

namespace quelma::platform {

class ExitGate {
 public:
  // Closes the gate for good, calling `whileWaiting` between tries (a writer may be waiting
  // for the main thread); false when writes were still going on after `patience`.
  bool close(std::chrono::milliseconds patience, const std::function<void()>& whileWaiting);

 private:
  friend class ExitGateHold;
  std::shared_mutex mutex_;
};

ExitGate& ProgramExitGate();

class ExitGateHold {
 public:
  explicit ExitGateHold(ExitGate& gate = ProgramExitGate()) : gate_(gate) { gate_.mutex_.lock_shared(); }
  ~ExitGateHold() { gate_.mutex_.unlock_shared(); }
  ExitGateHold(const ExitGateHold&) = delete;
  ExitGateHold& operator=(const ExitGateHold&) = delete;

 private:
  ExitGate& gate_;
};

}  // namespace quelma::platform
