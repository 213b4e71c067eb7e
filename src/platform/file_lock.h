// An exclusive lock that programs sharing a file take before they read, change and replace it
// (the tokens file is rewritten by the running program and by a login from the command line).
// It is held until the object goes; the system drops it when a process ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quelma::platform {

class FileLock {
 public:
  // Waits for the lock on the file `path` (made if missing); nothing when it cannot be opened.
  static std::optional<FileLock> Acquire(const std::string& path);
  FileLock(FileLock&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

}  // namespace quelma::platform
