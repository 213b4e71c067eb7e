// The POP3 listener and connection loop, with the error report and its step codes.
#include "pop3_server/pop3_server.h"

#include <chrono>
#include <thread>

#include "platform/socket.h"
#include "platform/protocol_line_reader.h"
#include "pop3_server/pop3_replies.h"
#include "pop3_server/pop3_session.h"

namespace quelma::pop3_server {
namespace {

constexpr std::size_t kMaxPop3Line = 1999;  // CR LF included

enum StepCode {
  kLibraryFailed = 1,
  kSocketFailed = 3,
  kBindFailed = 4,
  kListenFailed = 5,
  kSendTimeoutFailed = 81,
  kReceiveTimeoutFailed = 82,
  kOrderlyStop = 200,
};

class SocketSink final : public ReplySink {
 public:
  explicit SocketSink(platform::Socket& socket) : socket_(socket) {}
  bool send(std::string_view bytes) override { return socket_.sendAll(bytes); }

 private:
  platform::Socket& socket_;
};

class Server {
 public:
  explicit Server(Pop3ServerContext& c) : c_(c) {}
  int run();

 private:
  int startListener(std::uint16_t port);
  void report(int stepCode);
  void serve(platform::Socket& client, std::shared_ptr<const config::Configuration> config);
  int idleUntilStopped(std::uint16_t port);

  Pop3ServerContext& c_;
  platform::Socket listener_;
};

// 0 when listening, else the step code of the failed step.
int Server::startListener(std::uint16_t port) {
  if (!platform::InitSocketLibrary()) return kLibraryFailed;
  listener_ = platform::Socket::CreateTcp();
  if (!listener_.valid()) return kSocketFailed;
  if (!listener_.bind(platform::kAnyAddress, port)) return kBindFailed;
  if (!listener_.listen(1)) return kListenFailed;
  return 0;
}

void Server::report(int stepCode) {
  const int error = platform::LastSocketError();
  c_.flags.registerListener(nullptr);
  listener_.close();
  if (stepCode == kOrderlyStop) {
    c_.log.LogPop3Srv(logtext::kNormalEnd);
  } else {
    c_.log.LogPop3Srv(logtext::kErrorNumber + std::to_string(stepCode) + ", " + app::WinsockErrorName(error) + "\r\n");
  }
  c_.flags.stopped = true;
}

int Server::idleUntilStopped(std::uint16_t port) {
  c_.log.LogPop3Srv(logtext::kNotRunningBegin + std::to_string(port) + logtext::kNotRunningEnd);
  while (!c_.flags.stopRequest) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  c_.flags.stopped = true;
  return 1;
}

void Server::serve(platform::Socket& client, std::shared_ptr<const config::Configuration> config) {
  const auto peer = client.peerAddress();
  c_.log.LogPop3Srv(logtext::kConnectionFrom + (peer ? peer->toString() : std::string("unknown")) + "\r\n");
  SocketSink sink(client);
  if (!sink.send(reply::kGreeting)) return;
  platform::ProtocolLineReader reader([&client](char* b, std::size_t n) { return client.receive(b, n); }, c_.clock,
                                     kMaxPop3Line, 2000);
  Pop3Session session(std::move(config), c_.log, sink);
  while (auto line = reader.nextLine()) {
    if (!session.handleLine(*line)) break;
  }
  if (!session.loggedIn()) c_.log.LogPop3Srv(logtext::kLostAtLogin);
}

int Server::run() {
  c_.flags.stopped = false;
  c_.log.LogPop3Srv(logtext::kStarting);
  const auto port = static_cast<std::uint16_t>(c_.config.current()->POP3_SRV_PORT);
  if (const int stepCode = startListener(port); stepCode != 0) {
    report(stepCode);
    return idleUntilStopped(port);
  }
  c_.flags.registerListener(&listener_);
  const std::uint16_t bound = listener_.localPort().value_or(port);
  if (c_.boundPort) *c_.boundPort = bound;
  c_.log.LogPop3Srv(logtext::kRunningOnPort + std::to_string(bound) + "\r\n");

  for (;;) {
    if (c_.flags.stopRequest) {
      report(kOrderlyStop);
      return 0;
    }
    platform::Socket client = listener_.accept();
    if (!client.valid()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a wake-up or a passing fault
      continue;
    }
    auto config = c_.config.current();
    const int optionFailed = !client.setSendTimeout(config->SERVERS_TIMEOUT)      ? kSendTimeoutFailed
                             : !client.setReceiveTimeout(config->SERVERS_TIMEOUT) ? kReceiveTimeoutFailed
                                                                                  : 0;
    if (optionFailed != 0) {
      report(optionFailed);
      c_.window.send(app::UM_SHUTDOWN, 0, 0);
      return 1;
    }
    c_.flags.registerClient(&client);
    serve(client, std::move(config));
    c_.flags.registerClient(nullptr);
    c_.log.LogPop3Srv(logtext::kDisconnected);
  }
}

}  // namespace

int RunPop3Server(Pop3ServerContext context) {
  Server server(context);
  return server.run();
}

}  // namespace quelma::pop3_server
