// Writes that the program's end must not cut in half (a message into a maildrop, a download
// into "mail.txt") hold the exit gate; the end closes it, which waits for those in progress
// and lets no new one begin.
#pragma once

#include <chrono>
#include <functional>
#include <condition_variable>
#include <mutex>

namespace quelma::platform {

class ExitGate {
 public:
  // Closes the gate for good, calling `whileWaiting` between tries (a writer may be waiting
  // for the main thread); false when writes were still going on after `patience`.
  bool close(std::chrono::milliseconds patience, const std::function<void()>& whileWaiting);

 private:
  friend class ExitGateHold;
  void enter();
  void leave();
  std::mutex mutex_;
  std::condition_variable closedForGood_;  // never signalled: a writer after the close waits
  int writers_ = 0;
  bool closed_ = false;
};

ExitGate& ProgramExitGate();

class ExitGateHold {
 public:
  explicit ExitGateHold(ExitGate& gate = ProgramExitGate()) : gate_(gate) { gate_.enter(); }
  ~ExitGateHold() { gate_.leave(); }
  ExitGateHold(const ExitGateHold&) = delete;
  ExitGateHold& operator=(const ExitGateHold&) = delete;

 private:
  ExitGate& gate_;
};

}  // namespace quelma::platform
