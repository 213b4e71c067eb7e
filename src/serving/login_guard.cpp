// Counting failed logins per address, the growing delay and the lock-out.
#include "serving/login_guard.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "platform/unique_tick.h"

namespace quelma::serving {

LoginGuard::LoginGuard(std::function<Clock::time_point()> now, std::function<void(std::chrono::milliseconds)> wait,
                       std::chrono::milliseconds settle)
    : now_(std::move(now)), wait_(std::move(wait)), settle_(settle) {}

std::chrono::milliseconds LoginGuard::DelayAfter(std::size_t failures) {
  const std::size_t doublings = std::min<std::size_t>(failures == 0 ? 0 : failures - 1, 3);
  return std::chrono::milliseconds(250) * (1 << doublings);
}

void LoginGuard::forgetOld(Clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    auto& failures = it->second.failures;
    while (!failures.empty() && now - failures.front() > kWindow) failures.pop_front();
    const bool idle = failures.empty() && it->second.lockedUntil <= now && it->second.checking == 0;
    it = idle ? records_.erase(it) : std::next(it);
  }
}

std::optional<LoginGuard::Attempt> LoginGuard::begin(const std::string& address, int limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (limit > 0) {
    // Attempts at the same moment: wait for the outcome of those already being checked.
    ended_.wait_for(hold, settle_, [&] {
      const auto it = records_.find(address);
      return it == records_.end() || it->second.failures.size() + it->second.checking < static_cast<std::size_t>(limit) ||
             it->second.lockedUntil > now_();
    });
  }
  const Clock::time_point now = now_();
  forgetOld(now);
  if (records_.size() >= kMaxAddresses && !records_.count(address)) {
    for (auto it = records_.begin(); it != records_.end(); ++it) {
      if (it->second.checking == 0) {
        records_.erase(it);
        break;
      }
    }
  }
  Record& r = records_[address];
  if (r.lockedUntil > now) return std::nullopt;
  if (limit > 0 && r.failures.size() + r.checking >= static_cast<std::size_t>(limit)) return std::nullopt;
  ++r.checking;
  return Attempt(*this, address, limit);
}

void LoginGuard::end(const std::string& address, bool failedCheck, int limit, bool& lockOutStarts,
                     std::chrono::milliseconds& delay) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto it = records_.find(address);
  if (it == records_.end()) return;
  Record& r = it->second;
  if (r.checking > 0) --r.checking;
  ended_.notify_all();
  if (!failedCheck) return;
  const Clock::time_point now = now_();
  r.failures.push_back(now);
  delay = DelayAfter(r.failures.size());
  if (limit > 0 && r.failures.size() >= static_cast<std::size_t>(limit) && r.lockedUntil <= now) {
    r.lockedUntil = now + kLockOut;
    r.failures.clear();  // counting starts afresh after the lock-out
    lockOutStarts = true;
  }
}

LoginGuard::Attempt::~Attempt() {
  if (!guard_) return;
  bool lockOutStarts = false;
  std::chrono::milliseconds delay{0};
  guard_->end(address_, false, limit_, lockOutStarts, delay);
}

bool LoginGuard::Attempt::failed() {
  if (!guard_) return false;
  bool lockOutStarts = false;
  std::chrono::milliseconds delay{0};
  LoginGuard* guard = std::exchange(guard_, nullptr);
  guard->end(address_, true, limit_, lockOutStarts, delay);
  guard->wait_(delay);
  return lockOutStarts;
}

std::string NewLoginChallenge(const std::string& host) {
  static std::mutex mutex;
  static std::random_device random;
  std::uint32_t salt = 0;
  {
    std::lock_guard<std::mutex> hold(mutex);
    salt = random();
  }
  char text[32];
  std::snprintf(text, sizeof text, "%08X.%08X", platform::ProcessUniqueTicks().next(), salt);
  return "<" + std::string(text) + "@" + (host.empty() ? "quelma" : host) + ">";
}

std::string LockOutLogText(const std::string& address, int limit) {
  return "Вход с адреса " + address + " заблокирован на 10 минут: " + std::to_string(limit) +
         " неудачных попыток (AUTH_FAIL_LIMIT)\r\n";
}

LoginGuard::LoginGuard()
    : LoginGuard([] { return Clock::now(); }, [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); }) {}

}  // namespace quelma::serving
