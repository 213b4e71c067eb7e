// The life of a local server thread, shared by the POP3 and the SMTP server: the listener (the
// plain port, and a port with TLS from the first byte when one is set), the connections served
// at once (MAX_SESSIONS) with their time-outs, the error report, the orderly stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "link/server_control.h"
#include "serving/login_guard.h"
#include "config/config_store.h"
#include "platform/clock.h"
#include "net/byte_stream.h"
#include "net/tls.h"

namespace quelma::serving {

// The texts each server logs at these points (they differ in small ways between the two).
struct ServerTexts {
  const char* starting;         // "*** Запуск ... сервера..."
  const char* runningOnPort;    // + port + CR LF
  const char* notRunningBegin;  // + port + notRunningEnd
  const char* notRunningEnd;
  const char* busyReply;        // to a client that found every place taken
};

struct ServerContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  link::ServerFlags& flags;
  const config::ConfigStore& config;
  platform::Clock& clock;
  LoginGuard& loginGuard;  // failed logins of both servers, counted per address
  std::atomic<std::uint16_t>* boundPort = nullptr;  // set once listening (tests listen on port 0)
};

// An accepted connection as a server sees it.
struct ClientConnection {
  net::ByteStream& stream;  // the client's connection; TLS already on a TLS port
  std::shared_ptr<const config::Configuration> config;
  // The certificate for STLS or STARTTLS; null when none is configured or it cannot be used.
  const net::TlsServerCredentials* tls = nullptr;
  bool secure = false;  // TLS is up already
  // The client runs on this computer: it connected from the very address it connected to
  // (127.0.0.1 to 127.0.0.1, ::1 to ::1; 127.0.0.2 to 127.0.0.1 is another computer).
  bool fromThisComputer = false;
};

// Serves one accepted connection (greeting included); returns when it has ended.
using ConnectionHandler = std::function<void(ClientConnection& client)>;

// Runs the server until the stop request; returns the thread's exit code (0 after an orderly
// stop, 1 after a failure). `tlsPort` (0 for none) takes TLS from the first byte; without a
// usable certificate it is not opened. `log` writes one line for the server's source.
int RunServerThread(ServerContext& context, const ServerTexts& texts, std::int32_t port, std::int32_t tlsPort,
                    const std::function<void(const std::string&)>& log, const ConnectionHandler& serve);


// TLS for a connection that asked for it (or came to the TLS port): the secure stream, or
// nothing after a log line that says why.
std::unique_ptr<net::ByteStream> StartServerTls(const net::TlsServerCredentials& credentials, net::ByteStream& plain,
                                                const std::function<void(const std::string&)>& log);

}  // namespace quelma::serving
