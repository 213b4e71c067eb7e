// The per-maildrop locks and the ordered taking of a delivery's set of them.
#include "spool/maildrop_locks.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace quelma::spool {
namespace {

// How long a delivery that holds locks waits for one more before it gives way.
constexpr std::chrono::milliseconds kPatience{250};

// Locks live as long as the process; there is one of each kind per maildrop path ever used.
template <typename Mutex>
struct Registry {
  std::mutex mutex;
  std::map<std::string, Mutex> locks;
  Mutex& of(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex);
    return locks[path];
  }
};

}  // namespace

std::mutex& MaildropLock(const std::string& path) {
  static Registry<std::mutex> registry;
  return registry.of(path);
}

std::timed_mutex& MaildropDeliveryLock(const std::string& path) {
  static Registry<std::timed_mutex> registry;
  return registry.of(path);
}

bool DeliveryLocks::holds(const std::string& path) const {
  return std::any_of(held_.begin(), held_.end(), [&](const auto& h) { return h.first == path; });
}

std::vector<std::string> DeliveryLocks::paths() const {
  std::vector<std::string> out;
  for (const auto& h : held_) out.push_back(h.first);
  return out;
}

bool DeliveryLocks::take(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  std::erase_if(paths, [this](const std::string& p) { return holds(p); });
  if (held_.empty()) {
    for (const std::string& p : paths) held_.emplace_back(p, std::unique_lock<std::timed_mutex>(MaildropDeliveryLock(p)));
    return true;
  }
  std::vector<std::pair<std::string, std::unique_lock<std::timed_mutex>>> taken;
  for (const std::string& p : paths) {
    std::unique_lock<std::timed_mutex> lock(MaildropDeliveryLock(p), kPatience);
    if (!lock.owns_lock()) return false;  // what was taken here is let go again
    taken.emplace_back(p, std::move(lock));
  }
  for (auto& t : taken) held_.push_back(std::move(t));
  return true;
}

}  // namespace quelma::spool
