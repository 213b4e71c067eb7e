// The settings check's report: targets (the provider's SMTP server, each POP3 account, the
// local side), each a list of steps with a verdict, what was seen and what to do; and the
// report as text for the terminal and the Windows report window.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quelma::app {

enum class CheckVerdict { kPassed, kWarning, kFailed, kSkipped };

struct CheckStep {
  std::string name;    // "Соединение"
  CheckVerdict verdict = CheckVerdict::kPassed;
  std::string detail;  // what was seen; lines separated by '\n'
  std::string hint;    // what to do, on a failure or a warning
};

struct CheckTarget {
  std::string name;  // "Счет 0: pop.example.com, ivan"
  std::vector<CheckStep> steps;
};

struct CheckReport {
  std::vector<CheckTarget> targets;
};

// The steps of one target as they are found: after a failure the steps still planned are
// listed as skipped.
class CheckSteps {
 public:
  explicit CheckSteps(CheckTarget& target) : target_(target) {}
  void pass(const std::string& name, const std::string& detail = {});
  void warn(const std::string& name, const std::string& detail, const std::string& hint);
  void fail(const std::string& name, const std::string& detail, const std::string& hint);
  void skip(const std::string& name, const std::string& why);
  // Each of `names` skipped because an earlier step failed.
  void skipAfterFailure(const std::vector<std::string>& names);
  // The planned steps in their order, each told by `report(name, failed)`, up to the one named
  // `failedStep`; those after it are skipped.
  void reportInOrder(const std::vector<std::string>& planned, const std::string& failedStep,
                     const std::function<void(const std::string&, bool)>& report);
  bool failed() const { return failed_; }

 private:
  CheckTarget& target_;
  bool failed_ = false;
};

std::size_t CountVerdicts(const CheckReport& report, CheckVerdict verdict);

// Passed: no step failed (warnings are allowed).
bool CheckPassed(const CheckReport& report);

// In Windows-1251, lines ending in '\n': a heading line for the target, a line per step with
// its mark, the detail and the hint indented below, an empty line last.
std::string FormatCheckTarget(const CheckTarget& target);
// "Итог: ..." with the counts of failures and warnings.
std::string FormatCheckSummary(const CheckReport& report);
// Every target, then the summary.
std::string FormatCheckReport(const CheckReport& report);

}  // namespace quelma::app
