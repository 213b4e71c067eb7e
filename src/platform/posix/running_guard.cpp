// POSIX running guards: a registry of held names inside the process, under one mutex.
#include <mutex>
#include <set>

#include "platform/running_guard.h"

namespace quelma::platform {
namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<std::string>& HeldNames() {
  static std::set<std::string> names;
  return names;
}

}  // namespace

std::optional<RunningGuard> RunningGuard::TryAcquire(const std::string& name) {
  std::lock_guard<std::mutex> hold(RegistryMutex());
  if (!HeldNames().insert(name).second) return std::nullopt;
  return RunningGuard(name, 1);
}

void RunningGuard::release() {
  if (handle_ == 0) return;
  std::lock_guard<std::mutex> hold(RegistryMutex());
  HeldNames().erase(name_);
  handle_ = 0;
}

}  // namespace quelma::platform
