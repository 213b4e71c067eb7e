// Win32 instance lock: the named mutex "Quelmar_mailserver_running", inheritable, kept for life.
#include <windows.h>

#include "platform/instance_lock.h"

namespace quelma::platform {

std::optional<InstanceLock> InstanceLock::TryAcquire(const std::string&) {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE mutex = CreateMutexA(&attributes, FALSE, "Quelmar_mailserver_running");
  if (mutex == nullptr) return std::nullopt;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return std::nullopt;
  }
  return InstanceLock(reinterpret_cast<std::intptr_t>(mutex));
}

std::optional<bool> InstanceLock::IsHeld(const std::string&) {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "Quelmar_mailserver_running");
  if (mutex == nullptr) return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional<bool>(false) : std::nullopt;
  CloseHandle(mutex);
  return true;
}

InstanceLock::~InstanceLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace quelma::platform
