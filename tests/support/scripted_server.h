// A peer for client tests: one connection on 127.0.0.1, a greeting, then an answer for
// every line the client sends.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace quelma::testing {

class ScriptedServer {
 public:
  // The reply to a line: nothing = no reply (a data line), "" = close the connection,
  // "\x01..." = send the rest and break the connection, "\x02..." = send it in two pieces,
  // split two bytes before its end.
  using Answer = std::function<std::optional<std::string>(const std::string& line)>;

  ScriptedServer(std::string greeting, Answer answer) {
    platform::InitSocketLibrary();
    listener_ = platform::Socket::CreateTcp();
    listener_.bind(platform::kLoopbackAddress, 0);
    listener_.listen(1);
    port = *listener_.localPort();
    thread_ = std::thread([this, greeting, answer] { serve(greeting, answer); });
  }
  ~ScriptedServer() { finish(); }
  // Waits for the connection to end (the client closes it) and gives every line received.
  const std::vector<std::string>& finish() {
    if (thread_.joinable()) {
      listener_.wake();
      thread_.join();
    }
    return commands;
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t port = 0;
  std::vector<std::string> commands;  // every line received, in order; read it after finish()

 private:
  void serve(const std::string& greeting, const Answer& answer) {
    platform::Socket client = listener_.accept();
    if (!client.valid()) return;
    client.setReceiveTimeout(5000);
    if (!greeting.empty() && !client.sendAll(greeting)) return;
    std::string pending;
    char buffer[65536];
    for (;;) {
      const auto lf = pending.find('\n');
      if (lf == std::string::npos) {
        const long n = client.receive(buffer, sizeof buffer);
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = pending.substr(0, lf + 1);
      pending.erase(0, lf + 1);
      commands.push_back(line);
      const std::optional<std::string> reply = answer(line);
      if (!reply) continue;
      if (reply->starts_with('\x02')) {
        client.sendAll(reply->substr(1, reply->size() - 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        client.sendAll(reply->substr(reply->size() - 2));
        continue;
      }
      if (reply->starts_with('\x01')) {
        client.sendAll(reply->substr(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
      }
      if (reply->empty() || !client.sendAll(*reply)) return;
    }
  }

  platform::Socket listener_;
  std::thread thread_;
};

}  // namespace quelma::testing
