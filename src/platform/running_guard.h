// Named "is running" guards ("POP3_client_running", ...): a try-acquire that cannot race.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quelma::platform {

class RunningGuard {
 public:
  // The guard when no other holder of `name` exists in this process (Windows: in the
  // session, as a named mutex); nothing when one does.
  static std::optional<RunningGuard> TryAcquire(const std::string& name);

  RunningGuard(RunningGuard&& other) noexcept;
  RunningGuard& operator=(RunningGuard&& other) noexcept;
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;
  ~RunningGuard();

 private:
  RunningGuard(std::string name, std::intptr_t handle) : name_(std::move(name)), handle_(handle) {}
  void release();
  std::string name_;
  std::intptr_t handle_ = 0;  // Windows: the mutex handle; POSIX: 1 while held
};

}  // namespace quelma::platform
