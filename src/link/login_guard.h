// Failed logins per client address, shared by both local servers: each failure is answered
// after a delay that grows with the failures of the last 10 minutes, and an address that
// reaches AUTH_FAIL_LIMIT of them is refused without a check for the next 10 minutes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace quelma::link {

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kWindow{10};    // failures counted over this time
  static constexpr std::chrono::minutes kLockOut{10};   // and the refusal that follows the limit
  static constexpr std::size_t kMaxAddresses = 10000;   // memory bound against address floods

  // `now` and `wait` are the clock and the pause of the guard (tests replace them).
  LoginGuard(std::function<Clock::time_point()> now, std::function<void(std::chrono::milliseconds)> wait);

  // False while `address` is locked out: the login is refused without looking at it.
  bool mayTry(const std::string& address);
  // Records a failed login and waits the delay before its answer. True when this failure is
  // the one that starts the lock-out (the caller logs it, once). A limit of 0 never locks out.
  bool failed(const std::string& address, int limit);

  // The delay before answering the n-th failure (from 1): 250 ms doubling to at most 2 s.
  static std::chrono::milliseconds DelayAfter(std::size_t failures);

 private:
  struct Record {
    std::deque<Clock::time_point> failures;
    Clock::time_point lockedUntil{};
  };
  void forgetOld(Clock::time_point now);

  std::function<Clock::time_point()> now_;
  std::function<void(std::chrono::milliseconds)> wait_;
  std::mutex mutex_;
  std::map<std::string, Record> records_;
};

// A challenge no other login of this program has had: "<tick.random@host>" (the POP3 greeting's
// APOP time stamp, the SMTP server's CRAM-MD5 challenge); "quelma" stands for an empty host.
std::string NewLoginChallenge(const std::string& host);

// The log line of a lock-out that starts.
std::string LockOutLogText(const std::string& address, int limit);

// The guard of this process, on the steady clock.
LoginGuard& ProcessLoginGuard();

}  // namespace quelma::link
