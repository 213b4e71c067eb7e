// Which alerts the postmaster gets and when: a condition that appears is told at once, told
// again a day after the last telling while it lasts, and its end is told once (with a message
// only when the postmaster heard of it). An event (a start after an unclean stop) is told
// once and never stays open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status/program_status.h"

namespace quelma::status {

inline constexpr std::int64_t kAlertRepeatSeconds = 24 * 60 * 60;

// Something wrong now, as the checks found it.
struct AlertCondition {
  std::string key;      // which condition: "disk", "account pop.example.com me", "queue", ...
  std::string subject;  // the message's subject after "[Quelmar] "
  std::string text;     // what is wrong and what mends it (Windows-1251, lines end in CR LF)
  std::int64_t since = 0;  // when it began, when the check knows; 0: now
  bool event = false;      // told once, never open
};

struct AlertStep {
  enum class Kind { kTell, kCleared };
  Kind kind = Kind::kTell;
  std::string key, subject, text;  // kCleared: the subject and text it was told with
  std::int64_t since = 0;
  bool first = false;  // kTell: the condition is new (its log line is due)
  bool told = false;   // kCleared: the postmaster had a message of it (one of its end is due)
};

class AlertBook {
 public:
  // The open alerts the last program left (their since and when they were sent).
  explicit AlertBook(std::vector<OpenAlert> open = {}) : open_(std::move(open)) {}

  // What to do now, given every condition present: tell new ones and those a day after their
  // last telling, clear the ones gone. Conditions whose check could not run this time are
  // named in `unchecked`: they stay as they are.
  std::vector<AlertStep> review(const std::vector<AlertCondition>& present, std::int64_t now,
                                const std::vector<std::string>& unchecked = {});
  // The message of alert `key` reached the postmaster at `now`.
  void told(const std::string& key, std::int64_t now);

  const std::vector<OpenAlert>& open() const { return open_; }

 private:
  std::vector<OpenAlert> open_;
};

}  // namespace quelma::status
