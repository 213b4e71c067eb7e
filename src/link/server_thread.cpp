// The listener and accept loop of a local server, with its step codes.
#include "link/server_thread.h"

#include <chrono>
#include <optional>
#include <thread>

#include "net/listener.h"

namespace quelma::link {
namespace {

enum StepCode {
  kLibraryFailed = 1,
  kSocketFailed = 3,
  kBindFailed = 4,
  kListenFailed = 5,
  kSendTimeoutFailed = 81,
  kReceiveTimeoutFailed = 82,
  kOrderlyStop = 200,
};

constexpr char kConnectionFrom[] = "Запрос соединения от ";
constexpr char kDisconnected[] = "Отключен. Ожидаю следующего подключения.\r\n";
constexpr char kErrorNumber[] = "Ошибка номер: ";
constexpr char kNormalEnd[] = "Нормальное завершение работы\r\n";

class Server {
 public:
  Server(ServerContext& c, const ServerTexts& texts, const std::function<void(const std::string&)>& log)
      : c_(c), texts_(texts), log_(log) {}
  int run(std::uint16_t port, const ConnectionHandler& serve);

 private:
  int startListener(std::uint16_t port);
  void report(int stepCode);
  int idleUntilStopped(std::uint16_t port);

  ServerContext& c_;
  const ServerTexts& texts_;
  const std::function<void(const std::string&)>& log_;
  net::Listener listener_;
};

// 0 when listening, else the step code of the failed step.
int Server::startListener(std::uint16_t port) {
  switch (listener_.open(platform::kAnyAddress, port, 1)) {
    case net::ListenFailure::kNone: return 0;
    case net::ListenFailure::kLibrary: return kLibraryFailed;
    case net::ListenFailure::kSocket: return kSocketFailed;
    case net::ListenFailure::kBind: return kBindFailed;
    case net::ListenFailure::kListen: return kListenFailed;
  }
  return kListenFailed;
}

void Server::report(int stepCode) {
  const int error = platform::LastSocketError();
  c_.flags.registerListener(nullptr);
  listener_.close();
  log_(stepCode == kOrderlyStop ? std::string(kNormalEnd)
                                : kErrorNumber + std::to_string(stepCode) + ", " + WinsockErrorName(error) + "\r\n");
  c_.flags.stopped = true;
}

int Server::idleUntilStopped(std::uint16_t port) {
  log_(texts_.notRunningBegin + std::to_string(port) + texts_.notRunningEnd);
  while (!c_.flags.stopRequest) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  c_.flags.stopped = true;
  return 1;
}

int Server::run(std::uint16_t port, const ConnectionHandler& serve) {
  c_.flags.stopped = false;
  log_(texts_.starting);
  if (const int stepCode = startListener(port); stepCode != 0) {
    report(stepCode);
    return idleUntilStopped(port);
  }
  c_.flags.registerListener(&listener_);
  const std::uint16_t bound = listener_.localPort().value_or(port);
  if (c_.boundPort) *c_.boundPort = bound;
  log_(texts_.runningOnPort + std::to_string(bound) + "\r\n");

  for (;;) {
    if (c_.flags.stopRequest) {
      report(kOrderlyStop);
      return 0;
    }
    std::optional<net::PlainStream> client = listener_.accept();
    if (!client) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a wake-up or a passing fault
      continue;
    }
    auto config = c_.config.current();
    const int optionFailed = !client->setSendTimeout(config->SERVERS_TIMEOUT)      ? kSendTimeoutFailed
                             : !client->setReceiveTimeout(config->SERVERS_TIMEOUT) ? kReceiveTimeoutFailed
                                                                                   : 0;
    if (optionFailed != 0) {
      report(optionFailed);
      c_.window.send(UM_SHUTDOWN, 0, 0);
      return 1;
    }
    const auto peer = client->peerAddress();
    log_(kConnectionFrom + (peer ? peer->toString() : std::string("unknown")) + "\r\n");
    c_.flags.registerClient(&*client);
    serve(*client, std::move(config));
    log_(kDisconnected);  // before the close, so the client never sees the end before the line
    c_.flags.registerClient(nullptr);
    client->close();
  }
}

}  // namespace

int RunServerThread(ServerContext& context, const ServerTexts& texts, std::int32_t port,
                    const std::function<void(const std::string&)>& log, const ConnectionHandler& serve) {
  Server server(context, texts, log);
  return server.run(static_cast<std::uint16_t>(port), serve);
}

}  // namespace quelma::link
