// Win32 running guards: a named mutex; ERROR_ALREADY_EXISTS means someone else holds it.
#include <windows.h>

#include "platform/running_guard.h"

namespace quelma::platform {

std::optional<RunningGuard> RunningGuard::TryAcquire(const std::string& name) {
  // CreateMutex reports an existing object atomically, so two callers can never both win.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return std::nullopt;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return std::nullopt;
  }
  return RunningGuard(name, reinterpret_cast<std::intptr_t>(mutex));
}

void RunningGuard::release() {
  if (handle_ == 0) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = 0;
}

}  // namespace quelma::platform
