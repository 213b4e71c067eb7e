// Moving and dropping a running guard; acquiring and releasing are per platform.
#include "platform/running_guard.h"

namespace quelma::platform {

RunningGuard::RunningGuard(RunningGuard&& other) noexcept
    : name_(std::move(other.name_)), handle_(other.handle_) {
  other.handle_ = 0;
}

RunningGuard& RunningGuard::operator=(RunningGuard&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    handle_ = other.handle_;
    other.handle_ = 0;
  }
  return *this;
}

RunningGuard::~RunningGuard() { release(); }

}  // namespace quelma::platform
