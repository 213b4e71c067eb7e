// What the session fuzzers run on: a main window, a sink and a clock that do nothing.
#pragma once

#include <string>

#include "link/main_window.h"
#include "platform/clock.h"
#include "net/reply_sink.h"

namespace quelma::fuzz {

struct NullWindow final : link::MainWindow {
  std::intptr_t send(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
  void post(unsigned, std::uintptr_t, std::intptr_t) override {}
  void setStatusText(int, const std::string&) override {}
  void setProgress(int, int) override {}
};

struct NullSink final : net::ReplySink {
  bool send(std::string_view) override { return true; }
};

struct FixedClock final : platform::Clock {
  std::uint32_t tickCount() override { return 0; }
  platform::LocalTime localTime() override { return {}; }
};

}  // namespace quelma::fuzz
