// The settings check's report: collecting steps, counting verdicts, the text form.
#include "app/check_report.h"

namespace quelma::app {

void CheckSteps::pass(const std::string& name, const std::string& detail) {
  target_.steps.push_back({name, CheckVerdict::kPassed, detail, {}});
}

void CheckSteps::warn(const std::string& name, const std::string& detail, const std::string& hint) {
  target_.steps.push_back({name, CheckVerdict::kWarning, detail, hint});
}

void CheckSteps::fail(const std::string& name, const std::string& detail, const std::string& hint) {
  target_.steps.push_back({name, CheckVerdict::kFailed, detail, hint});
  failed_ = true;
}

void CheckSteps::skip(const std::string& name, const std::string& why) {
  target_.steps.push_back({name, CheckVerdict::kSkipped, why, {}});
}

void CheckSteps::skipAfterFailure(const std::vector<std::string>& names) {
  for (const std::string& name : names) skip(name, "не проверялось: предыдущий шаг не пройден");
}

void CheckSteps::reportInOrder(const std::vector<std::string>& planned, const std::string& failedStep,
                               const std::function<void(const std::string&, bool)>& report) {
  for (std::size_t i = 0; i < planned.size(); ++i) {
    const bool failed = planned[i] == failedStep;
    report(planned[i], failed);
    if (failed) {
      skipAfterFailure({planned.begin() + static_cast<std::ptrdiff_t>(i) + 1, planned.end()});
      return;
    }
  }
}

std::size_t CountVerdicts(const CheckReport& report, CheckVerdict verdict) {
  std::size_t count = 0;
  for (const CheckTarget& target : report.targets) {
    for (const CheckStep& step : target.steps) count += step.verdict == verdict ? 1 : 0;
  }
  return count;
}

bool CheckPassed(const CheckReport& report) { return CountVerdicts(report, CheckVerdict::kFailed) == 0; }

namespace {

const char* Mark(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::kPassed: return "[ OK ]";
    case CheckVerdict::kWarning: return "[ВНИМ]";
    case CheckVerdict::kFailed: return "[СБОЙ]";
    case CheckVerdict::kSkipped: return "[ -- ]";
  }
  return "[ ?? ]";
}

// Each line of `text` after `indent`, the first after `first` when given.
void AddIndented(std::string& out, const std::string& text, const std::string& indent, const std::string& first = {}) {
  std::size_t start = 0;
  bool firstLine = true;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += indent + (firstLine ? first : std::string(first.size(), ' ')) + line + "\n";
    firstLine = false;
    start = end + 1;
  }
}

}  // namespace

std::string FormatCheckTarget(const CheckTarget& target) {
  std::string out = target.name + "\n";
  for (const CheckStep& step : target.steps) {
    out += std::string("  ") + Mark(step.verdict) + " " + step.name + "\n";
    AddIndented(out, step.detail, "         ");
    AddIndented(out, step.hint, "         ", "Что делать: ");
  }
  return out + "\n";
}

std::string FormatCheckSummary(const CheckReport& report) {
  const std::size_t failures = CountVerdicts(report, CheckVerdict::kFailed);
  const std::size_t warnings = CountVerdicts(report, CheckVerdict::kWarning);
  return "Итог: " + std::string(failures == 0 ? "все проверки пройдены" : "есть сбои") + " (сбоев: " +
         std::to_string(failures) + ", предупреждений: " + std::to_string(warnings) + ")\n";
}

std::string FormatCheckReport(const CheckReport& report) {
  std::string out;
  for (const CheckTarget& target : report.targets) out += FormatCheckTarget(target);
  return out + FormatCheckSummary(report);
}

}  // namespace quelma::app
