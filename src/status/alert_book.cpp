#include "status/alert_book.h"

#include <algorithm>

namespace quelma::status {

std::vector<AlertStep> AlertBook::review(const std::vector<AlertCondition>& present, std::int64_t now,
                                         const std::vector<std::string>& unchecked) {
  std::vector<AlertStep> steps;
  auto isPresent = [&](const std::string& key) {
    return std::any_of(present.begin(), present.end(), [&](const AlertCondition& c) { return c.key == key && !c.event; });
  };
  auto isUnchecked = [&](const std::string& key) { return std::find(unchecked.begin(), unchecked.end(), key) != unchecked.end(); };
  for (auto it = open_.begin(); it != open_.end();) {
    if (isPresent(it->condition) || isUnchecked(it->condition)) {
      ++it;
      continue;
    }
    AlertStep step;
    step.kind = AlertStep::Kind::kCleared;
    step.key = it->condition;
    step.subject = it->subject;
    step.text = it->text;
    step.since = it->since;
    step.told = it->sentAt != 0;
    steps.push_back(std::move(step));
    it = open_.erase(it);
  }
  for (const AlertCondition& c : present) {
    AlertStep step;
    step.key = c.key;
    step.subject = c.subject;
    step.text = c.text;
    if (c.event) {
      step.since = c.since != 0 ? c.since : now;
      step.first = true;
      steps.push_back(std::move(step));
      continue;
    }
    auto it = std::find_if(open_.begin(), open_.end(), [&](const OpenAlert& a) { return a.condition == c.key; });
    if (it == open_.end()) {
      open_.push_back({c.key, c.text, c.since != 0 ? c.since : now, 0, c.subject});
      step.since = open_.back().since;
      step.first = true;
      steps.push_back(std::move(step));
      continue;
    }
    it->text = c.text;  // the figures in it move on
    it->subject = c.subject;
    if (it->sentAt != 0 && now - it->sentAt < kAlertRepeatSeconds) continue;
    step.since = it->since;
    steps.push_back(std::move(step));
  }
  return steps;
}

void AlertBook::told(const std::string& key, std::int64_t now) {
  for (OpenAlert& a : open_) {
    if (a.condition == key) a.sentAt = now;
  }
}

}  // namespace quelma::status
