// A scripted dial-up service: its entries, an active link, saved parameters, and the outcome
// of each dial in turn; it records the dials and hang-ups.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dialup/remote_access.h"

namespace quelma::testing {

class FakeRemoteAccess final : public dialup::RemoteAccess {
 public:
  std::vector<std::string> entries = {"Provider"};
  dialup::ConnectionHandle active = 0;
  std::optional<dialup::SavedDialParameters> saved = dialup::SavedDialParameters{true};
  std::deque<dialup::DialOutcome> outcomes;  // empty: every dial fails

  std::vector<std::string> dialled;  // "entry/number"
  std::vector<dialup::ConnectionHandle> hungUp;

  std::vector<std::string> entryNames() override { return entries; }
  dialup::ConnectionHandle firstActiveConnection() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return active;
  }
  std::optional<dialup::SavedDialParameters> savedParameters(const std::string&) override { return saved; }
  dialup::DialOutcome dial(const std::string& entry, const std::string& number) override {
    std::lock_guard<std::mutex> hold(mutex_);
    dialled.push_back(entry + "/" + number);
    if (outcomes.empty()) return {};
    const dialup::DialOutcome outcome = outcomes.front();
    outcomes.pop_front();
    if (outcome.connected) active = outcome.handle;
    return outcome;
  }
  void hangUp(dialup::ConnectionHandle connection) override {
    std::lock_guard<std::mutex> hold(mutex_);
    hungUp.push_back(connection);
    if (connection == active) active = 0;
  }

 private:
  std::mutex mutex_;
};

}  // namespace quelma::testing
