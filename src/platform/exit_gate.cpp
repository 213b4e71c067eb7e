// The exit gate: a reader-writer lock whose writer side is the program's end.
#include "platform/exit_gate.h"

namespace quelma::platform {

ExitGate& ProgramExitGate() {
  static ExitGate gate;
  return gate;
}

bool ExitGate::close(std::chrono::milliseconds patience, const std::function<void()>& whileWaiting) {
  const auto giveUp = std::chrono::steady_clock::now() + patience;
  while (!mutex_.try_lock()) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    if (whileWaiting) whileWaiting();
  }
  return true;  // never unlocked: the process ends holding it
}

}  // namespace quelma::platform
