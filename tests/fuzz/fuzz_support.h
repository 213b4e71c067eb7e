// What the session fuzzers run on: a main window, a sink and a clock that do nothing.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "net/byte_stream.h"

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

// Hands out its bytes `piece` at a time, then reports the peer gone; takes whatever is sent.
class InputStream final : public net::ByteStream {
 public:
  InputStream(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  long receive(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, piece_, bytes_.size()});
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return static_cast<long>(n);
  }
  bool sendAll(std::string_view) override { return true; }
  void wake() override {}
  void close() override {}
  std::optional<platform::IpAddress> peerAddress() const override { return std::nullopt; }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

struct FixedClock final : platform::Clock {
  std::uint32_t tickCount() override { return 0; }
  platform::LocalTime localTime() override { return {}; }
};

}  // namespace quelma::fuzz
