// What a component that logs runs on in a test: an activity log over a recording main window
// and a fake clock.
#pragma once

#include <algorithm>
#include <string>

#include "link/activity_log.h"
#include "link/server_control.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"

namespace quelma::testing {

struct RecordedLog {
  RecordingMainWindow window;
  link::ServerControl control;
  FakeClock clock;
  link::ActivityLog log{window, control, clock};

  // Whether `line` ("TAG> text", without the stamp) was logged.
  bool logged(const std::string& line) const {
    const auto lines = window.unstampedLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // Every line logged, unstamped, one after the other (for failure messages).
  std::string transcript() const {
    std::string all;
    for (const auto& line : window.unstampedLines()) all += line;
    return all;
  }
};

}  // namespace quelma::testing
