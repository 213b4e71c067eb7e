// The listener and accept loop of a local server, with its step codes.
#include "serving/server_thread.h"

#include <chrono>
#include <optional>
#include <thread>

#include "config/list_setting.h"
#include "serving/session_runner.h"
#include "net/listener.h"
#include "net/tls_log_text.h"

namespace quelma::serving {

using link::WinsockErrorName;
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
constexpr char kTooManySessionsBegin[] = "Слишком много сеансов: клиент ";  // + address
constexpr char kTooManySessionsEnd[] = " не дождался свободного места (MAX_SESSIONS)\r\n";

constexpr int kListenBacklog = 128;
constexpr std::size_t kPlainPort = 0, kTlsPort = 1;  // the tags of the listening sockets

class Server {
 public:
  Server(ServerContext& c, const ServerTexts& texts, const std::function<void(const std::string&)>& log)
      : c_(c), texts_(texts), log_(log) {}
  int run(std::uint16_t port, std::uint16_t tlsPort, const ConnectionHandler& serve);

 private:
  int openPort(std::uint16_t port, std::size_t tag, std::uint16_t& bound);
  void loadCredentials(const config::Configuration& config);
  void serveOne(net::PlainStream& client, std::shared_ptr<const config::Configuration> config, bool tlsPort,
                const ConnectionHandler& serve);
  void serveConnection(net::PlainStream& client, std::size_t socket, const ConnectionHandler& serve);
  void refuseConnection(net::PlainStream& client);
  void report(int stepCode);
  int idleUntilStopped(std::uint16_t port);

  ServerContext& c_;
  const ServerTexts& texts_;
  const std::function<void(const std::string&)>& log_;
  net::Listener listener_;
  std::shared_ptr<const net::TlsServerCredentials> credentials_;
  bool tlsPortOpen_ = false;
  std::vector<platform::IpAddress> addresses_;  // where the ports are opened
  bool everyAddress_ = true;
};

// The certificate and key, once per run of the server; without them (or when they cannot be
// used) the server offers no TLS and opens no TLS port.
void Server::loadCredentials(const config::Configuration& config) {
  if (!config::LocalTlsConfigured(config)) return;
  net::CredentialsError error;
  credentials_ = net::TlsServerCredentials::Load(config.TLS_CERT_FILE, config.TLS_KEY_FILE, error);
  if (!credentials_) {
    log_("TLS выключен: " + net::CredentialsProblemText(error) + ". Защищенные соединения не предлагаются" +
         (error.detail.empty() ? "" : " (" + error.detail + ")") + "\r\n");
  }
}

int StepCodeOf(net::ListenFailure failure) {
  switch (failure) {
    case net::ListenFailure::kNone: return 0;
    case net::ListenFailure::kLibrary: return kLibraryFailed;
    case net::ListenFailure::kSocket: return kSocketFailed;
    case net::ListenFailure::kBind: return kBindFailed;
    case net::ListenFailure::kListen: return kListenFailed;
  }
  return kListenFailed;
}

// Opens `port` on every listening address with the tag; 0 when listening, else the step code
// of the failed step. Port 0 (tests) takes the port the first socket got for the others too.
// With "every address", a machine without IPv6 listens on IPv4 alone.
int Server::openPort(std::uint16_t port, std::size_t tag, std::uint16_t& bound) {
  bound = port;
  for (const platform::IpAddress& address : addresses_) {
    const std::size_t opened = listener_.size();
    const net::ListenFailure failure = listener_.open(address, bound, kListenBacklog, tag);
    if (failure != net::ListenFailure::kNone) {
      if (everyAddress_ && address.v6) continue;
      return StepCodeOf(failure);
    }
    if (bound == 0) bound = listener_.localPort(opened).value_or(0);
  }
  return 0;
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

int Server::run(std::uint16_t port, std::uint16_t tlsPort, const ConnectionHandler& serve) {
  c_.flags.stopped = false;
  log_(texts_.starting);
  loadCredentials(*c_.config.current());
  const std::string listenText = c_.config.current()->LISTEN_ADDRESSES;
  // A list with an item that is no address is refused as the dialogs refuse it: the server
  // does not guess which addresses were meant, and listens on none.
  const auto listen = config::ReadListenAddresses(listenText);
  if (!listen) {
    log_("LISTEN_ADDRESSES: " + config::ListenAddressesProblem(listenText).value_or(std::string()) + "\r\n");
    c_.flags.stopped = true;
    return idleUntilStopped(port);
  }
  addresses_ = listen->addresses;
  everyAddress_ = listen->every;
  const std::string where = everyAddress_ ? std::string() : " (" + listenText + ")";
  std::uint16_t bound = 0;
  if (const int stepCode = openPort(port, kPlainPort, bound); stepCode != 0) {
    report(stepCode);
    return idleUntilStopped(port);
  }
  c_.flags.registerListener(&listener_);
  if (c_.boundPort) *c_.boundPort = bound;
  log_(texts_.runningOnPort + std::to_string(bound) + where + "\r\n");
  if (tlsPort != 0 && !credentials_) {
    // A TLS port that stays closed says so, where an administrator looks for it.
    log_("Порт " + std::to_string(tlsPort) + " (TLS) не открыт: " +
         (config::LocalTlsConfigured(*c_.config.current()) ? "сертификат или ключ не годится (см. выше)"
                                                            : "не заданы сертификат и ключ (TLS_CERT_FILE, TLS_KEY_FILE)") +
         "\r\n");
  } else if (tlsPort != 0) {
    std::uint16_t tlsBound = 0;
    tlsPortOpen_ = openPort(tlsPort, kTlsPort, tlsBound) == 0;
    log_(tlsPortOpen_ ? texts_.runningOnPort + std::to_string(tlsBound) + " (TLS)" + where + "\r\n"
                      : texts_.notRunningBegin + std::to_string(tlsPort) + texts_.notRunningEnd);
  }

  const auto started = c_.config.current();
  SessionRunner::Limits limits;
  limits.sessions = static_cast<std::size_t>(started->MAX_SESSIONS);
  limits.maxWait = std::chrono::milliseconds(started->SERVERS_TIMEOUT);
  limits.lifetime = kSessionLifetime;
  SessionRunner runner(
      limits, c_.flags, [this, &serve](net::PlainStream& client, std::size_t socket) { serveConnection(client, socket, serve); },
      [this](net::PlainStream& client) { refuseConnection(client); }, log_);
  for (;;) {
    if (c_.flags.stopRequest) {
      runner.stopAll();
      report(kOrderlyStop);
      return 0;
    }
    runner.tend();
    std::size_t which = 0;
    std::optional<net::PlainStream> client = listener_.accept(&which);
    if (!client) continue;  // a second without a connection, a wake-up or a passing fault
    const std::uint32_t timeout = c_.config.current()->SERVERS_TIMEOUT;
    const int optionFailed = !client->setSendTimeout(timeout)      ? kSendTimeoutFailed
                             : !client->setReceiveTimeout(timeout) ? kReceiveTimeoutFailed
                                                                   : 0;
    if (optionFailed != 0) {
      // That connection is not served (it may be gone already); the server goes on.
      log_(kErrorNumber + std::to_string(optionFailed) + ", " + WinsockErrorName(platform::LastSocketError()) +
           "\r\n");
      continue;
    }
    client->setNoDelay();  // only speed depends on it
    runner.start(std::move(*client), which);
  }
}

void Server::serveConnection(net::PlainStream& client, std::size_t socket, const ConnectionHandler& serve) {
  const auto peer = client.peerAddress();
  log_(kConnectionFrom + (peer ? peer->toString() : std::string("unknown")) + "\r\n");
  serveOne(client, c_.config.current(), socket == kTlsPort, serve);
  log_(kDisconnected);  // before the close, so the client never sees the end before the line
}

void Server::refuseConnection(net::PlainStream& client) {
  const auto peer = client.peerAddress();
  log_(kTooManySessionsBegin + (peer ? peer->toString() : std::string("unknown")) + kTooManySessionsEnd);
  client.sendAll(texts_.busyReply);
}

void Server::serveOne(net::PlainStream& client, std::shared_ptr<const config::Configuration> config, bool tlsPort,
                      const ConnectionHandler& serve) {
  const auto peer = client.peerAddress();
  const auto local = client.localAddress();
  const bool thisComputer = peer && local && *peer == *local;
  ClientConnection connection{client, std::move(config), credentials_.get(), false, thisComputer};
  if (!tlsPort) return serve(connection);
  std::unique_ptr<net::ByteStream> secure = StartServerTls(*credentials_, client, log_);
  if (!secure) return;
  ClientConnection overTls{*secure, connection.config, credentials_.get(), true, thisComputer};
  serve(overTls);
  secure->close();
}

}  // namespace

int RunServerThread(ServerContext& context, const ServerTexts& texts, std::int32_t port, std::int32_t tlsPort,
                    const std::function<void(const std::string&)>& log, const ConnectionHandler& serve) {
  Server server(context, texts, log);
  return server.run(static_cast<std::uint16_t>(port), static_cast<std::uint16_t>(tlsPort), serve);
}

std::unique_ptr<net::ByteStream> StartServerTls(const net::TlsServerCredentials& credentials, net::ByteStream& plain,
                                                const std::function<void(const std::string&)>& log) {
  net::TlsOutcome outcome;
  std::unique_ptr<net::ByteStream> secure = credentials.accept(plain, outcome);
  log(secure ? net::TlsUpText(outcome) : net::LocalClientTlsFailureText(outcome));
  return secure;
}

}  // namespace quelma::serving
