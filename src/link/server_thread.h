// The life of a local server thread, shared by the POP3 and the SMTP server: the listener,
// one connection at a time with its time-outs, the error report, the orderly stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "link/server_control.h"
#include "config/config_store.h"
#include "platform/clock.h"
#include "net/byte_stream.h"

namespace quelma::link {

// The texts each server logs at these points (they differ in small ways between the two).
struct ServerTexts {
  const char* starting;         // "*** Запуск ... сервера..."
  const char* runningOnPort;    // + port + CR LF
  const char* notRunningBegin;  // + port + notRunningEnd
  const char* notRunningEnd;
};

struct ServerContext {
  MainWindow& window;
  ActivityLog& log;
  ServerFlags& flags;
  const config::ConfigStore& config;
  platform::Clock& clock;
  std::atomic<std::uint16_t>* boundPort = nullptr;  // set once listening (tests listen on port 0)
};

// Serves one accepted connection (greeting included); returns when it has ended.
using ConnectionHandler =
    std::function<void(net::ByteStream& client, std::shared_ptr<const config::Configuration> config)>;

// Runs the server until the stop request; returns the thread's exit code (0 after an orderly
// stop, 1 after a failure). `log` writes one line for the server's source.
int RunServerThread(ServerContext& context, const ServerTexts& texts, std::int32_t port,
                    const std::function<void(const std::string&)>& log, const ConnectionHandler& serve);

}  // namespace quelma::link
