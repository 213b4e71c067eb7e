// Failed logins per client address, shared by both local servers: each failure is answered
// after a delay that grows with the failures of the last 10 minutes, and an address that
// reaches AUTH_FAIL_LIMIT of them is refused without a check for the next 10 minutes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quelma::serving {

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kWindow{10};    // failures counted over this time
  static constexpr std::chrono::minutes kLockOut{10};   // and the refusal that follows the limit
  static constexpr std::size_t kMaxAddresses = 10000;   // memory bound against address floods

  // A login being checked. It counts against the limit from begin() on, so that attempts
  // made at the same moment (on many connections, or an exchange begun before a lock-out)
  // never get more checks than the limit allows.
  class Attempt {
   public:
    Attempt(LoginGuard& guard, std::string address, int limit)
        : guard_(&guard), address_(std::move(address)), limit_(limit) {}
    Attempt(Attempt&& other) noexcept
        : guard_(std::exchange(other.guard_, nullptr)), address_(std::move(other.address_)), limit_(other.limit_) {}
    Attempt& operator=(Attempt&&) = delete;
    Attempt(const Attempt&) = delete;
    ~Attempt();  // an attempt that did not fail (a success, or given up) ends uncounted
    // The check failed: counted, and the delay before the answer waited. True when this
    // failure starts the lock-out (the caller logs it, once).
    bool failed();

   private:
    LoginGuard* guard_;
    std::string address_;
    int limit_;
  };

  // `now` and `wait` are the clock and the pause of the guard (tests replace them); `settle`
  // is the longest an attempt waits for those begun before it to end.
  LoginGuard(std::function<Clock::time_point()> now, std::function<void(std::chrono::milliseconds)> wait,
             std::chrono::milliseconds settle = std::chrono::seconds(5));
  // On the steady clock, pausing the thread that answers: the program's one guard, which both
  // servers share through their context.
  LoginGuard();

  // A login from `address` may be checked: nothing while the address is locked out. While the
  // failures so far and the attempts being checked reach `limit` (0: no limit), it first waits
  // for one of those to end (a success frees its place, a failure may lock the address out).
  std::optional<Attempt> begin(const std::string& address, int limit);

  // The delay before answering the n-th failure (from 1): 250 ms doubling to at most 2 s.
  static std::chrono::milliseconds DelayAfter(std::size_t failures);

 private:
  struct Record {
    std::deque<Clock::time_point> failures;
    Clock::time_point lockedUntil{};
    std::size_t checking = 0;  // attempts begun and not yet ended
  };
  void forgetOld(Clock::time_point now);
  void end(const std::string& address, bool failedCheck, int limit, bool& lockOutStarts,
           std::chrono::milliseconds& delay);

  std::function<Clock::time_point()> now_;
  std::function<void(std::chrono::milliseconds)> wait_;
  std::chrono::milliseconds settle_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::map<std::string, Record> records_;
};

// A challenge no other login of this program has had: "<tick.random@host>" (the POP3 greeting's
// APOP time stamp, the SMTP server's CRAM-MD5 challenge); "quelma" stands for an empty host.
std::string NewLoginChallenge(const std::string& host);

// The log line of a lock-out that starts.
std::string LockOutLogText(const std::string& address, int limit);

}  // namespace quelma::serving
