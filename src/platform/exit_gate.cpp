// The exit gate: a count of the writes in progress, and the end that closes it.
#include "platform/exit_gate.h"

namespace quelma::platform {

ExitGate& ProgramExitGate() {
  static ExitGate gate;
  return gate;
}

void ExitGate::enter() {
  std::unique_lock<std::mutex> hold(mutex_);
  closedForGood_.wait(hold, [this] { return !closed_; });
  ++writers_;
}

void ExitGate::leave() {
  std::lock_guard<std::mutex> hold(mutex_);
  --writers_;
}

bool ExitGate::close(std::chrono::milliseconds patience, const std::function<void()>& whileWaiting) {
  const auto giveUp = std::chrono::steady_clock::now() + patience;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (writers_ == 0) {
        closed_ = true;  // for good: the process ends with the gate closed
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    if (whileWaiting) whileWaiting();
  }
}

}  // namespace quelma::platform
