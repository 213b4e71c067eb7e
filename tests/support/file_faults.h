// Fault tables for file steps: a scenario runs once to count its file steps, then once for
// every call of every step with that call failing.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/file_faults.h"

namespace quelma::testing {

inline const char* FileStepName(platform::FileStep step) {
  static const char* const kNames[] = {"create", "write", "sync", "truncate", "rename", "remove", "sync directory"};
  return kNames[static_cast<int>(step)];
}

// What a scenario is handed: open() where the steps under test begin, close() where they end
// (what follows, a restart and the counting, runs without faults).
class FaultWindow {
 public:
  FaultWindow(platform::FileStep step, int call) : step_(step), call_(call) {}
  void open() {
    faults_.emplace();
    if (call_ > 0) faults_->failCall(step_, call_);
  }
  void close() {
    if (!faults_) return;
    calls_ = faults_->calls(step_);
    fired_ = faults_->fired();
    faults_.reset();
  }
  bool failing() const { return call_ > 0; }  // false: the counting run
  platform::FileStep step() const { return step_; }
  int calls() const { return calls_; }
  bool fired() const { return fired_; }

 private:
  platform::FileStep step_;
  int call_;
  std::optional<platform::FileFaultInjection> faults_;
  int calls_ = 0;
  bool fired_ = false;
};

// Runs `scenario` with every call of every file step failing in turn; the scenario checks its
// own outcome. Returns how many faults were injected.
inline int FailEveryFileStep(const std::function<void(FaultWindow&)>& scenario) {
  int injected = 0;
  for (int kind = 0; kind < platform::kFileStepKinds; ++kind) {
    const auto step = static_cast<platform::FileStep>(kind);
    FaultWindow counting(step, 0);
    scenario(counting);
    for (int call = 1; call <= counting.calls(); ++call) {
      SCOPED_TRACE(std::string("failing ") + FileStepName(step) + " call " + std::to_string(call) + " of " +
                   std::to_string(counting.calls()));
      FaultWindow failing(step, call);
      scenario(failing);
      EXPECT_TRUE(failing.fired()) << "the scenario took other steps than when counted";
      ++injected;
    }
  }
  return injected;
}

}  // namespace quelma::testing
