// A local server thread on a free port of 127.0.0.1, and a client that talks to it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "serving/server_thread.h"
#include "platform/socket.h"
#include "support/recording_main_window.h"
#include "support/temp_dir.h"

namespace quelma::testing {

class LoopbackServer {
 public:
  LoopbackServer() = default;
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer() { stop(); }

  void start(const config::Configuration& config, link::ServerFlags* flags,
             std::function<int(serving::ServerContext)> run) {
    flags_ = flags;
    store.publish(config);
    thread_ = std::thread([this, run] { exitCode = run({window, log, *flags_, store, platform::SystemClock(), loginGuard, &port_}); });
    // Listening (port known) or failed to listen (three log lines).
    for (int i = 0; i < 1000 && port_ == 0 && window.lines().size() < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void stop() {
    if (!thread_.joinable()) return;
    flags_->stopRequest = true;
    while (!flags_->stopped) {
      flags_->wakeSockets();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    thread_.join();
  }
  std::uint16_t port() const { return port_; }
  // Waits until the server has logged at least `count` lines.
  void waitForLines(std::size_t count) {
    for (int i = 0; i < 400 && window.lines().size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  TempDir dir;
  RecordingMainWindow window;
  link::ServerControl control;
  link::ActivityLog log{window, control, platform::SystemClock()};
  config::ConfigStore store;
  serving::LoginGuard loginGuard;
  int exitCode = -1;

 private:
  link::ServerFlags* flags_ = nullptr;
  std::atomic<std::uint16_t> port_{0};
  std::thread thread_;
};

class Client {
 public:
  explicit Client(std::uint16_t port) : Client(port, platform::kLoopbackAddress) {}
  // From another address of the loopback network (127.0.0.2 stands for another computer).
  Client(std::uint16_t port, platform::Ipv4Address from) : socket_(platform::Socket::CreateTcp()) {
    socket_.setReceiveTimeout(3000);
    // A server that has dropped the connection must not leave a large send blocked for ever
    // (under Wine a blocked send is not always woken by the peer's reset).
    socket_.setSendTimeout(10000);
    const bool bound = from.hostOrder == platform::kLoopbackAddress.hostOrder || socket_.bind(from, 0);
    connected_ = bound && socket_.connect(platform::kLoopbackAddress, port);
  }
  bool connected() const { return connected_; }
  // Everything received until `terminator` ends it, the peer closes or a receive times out.
  std::string readUntil(std::string_view terminator) {
    std::string text;
    char buffer[4096];
    while (!std::string_view(text).ends_with(terminator)) {
      const long n = socket_.receive(buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }
  std::string command(const std::string& line, std::string_view terminator = "\r\n") {
    socket_.sendAll(line + "\r\n");
    return readUntil(terminator);
  }
  void send(std::string_view bytes) { socket_.sendAll(bytes); }
  // The server closed the connection (a reset counts too, when it left bytes unread).
  bool closedByPeer() {
    char c;
    const long n = socket_.receive(&c, 1);
    return n == 0 || (n < 0 && platform::LastSocketError() != 10060);
  }
  platform::Socket& socket() { return socket_; }

 private:
  platform::Socket socket_;
  bool connected_ = false;
};

}  // namespace quelma::testing
