// One running program per program directory (Linux) or per session (Windows).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quelma::platform {

class InstanceLock {
 public:
  // POSIX: an exclusive flock on "quelma.lock" in `programDir`, so that programs on other
  // directories run side by side. Windows: the named mutex "Quelmar_mailserver_running".
  static std::optional<InstanceLock> TryAcquire(const std::string& programDir);
  // Whether a program holds the lock now, asked without taking it (nor making its file);
  // nothing when this user cannot tell.
  static std::optional<bool> IsHeld(const std::string& programDir);
  InstanceLock(InstanceLock&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  InstanceLock& operator=(InstanceLock&&) = delete;
  InstanceLock(const InstanceLock&) = delete;
  ~InstanceLock();

 private:
  explicit InstanceLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

}  // namespace quelma::platform
