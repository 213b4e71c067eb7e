// The POP3 server: the shared server thread with the POP3 greeting, line cap and session.
#include "pop3_server/pop3_server.h"

#include "serving/start_tls_serving.h"
#include "net/line_limits.h"
#include "net/protocol_line_reader.h"
#include "pop3_server/pop3_replies.h"
#include "pop3_server/pop3_session.h"

namespace quelma::pop3_server {
namespace {

constexpr serving::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                     logtext::kNotRunningEnd, reply::kTooManySessions};

// One client, greeting included. After STLS the dialogue starts over through TLS with a new
// session and a new reader.
void Serve(serving::ServerContext& c, serving::ClientConnection& client) {
  const std::string stamp = serving::NewLoginChallenge(client.config->LocalDomain);
  if (!net::StreamSink(client.stream).send(Pop3Greeting(stamp))) return;
  const auto address = client.stream.peerAddress();
  const std::string peer = address ? address->toString() : "unknown";
  auto log = [&c](const std::string& t) { c.log.LogPop3Srv(t); };
  serving::ServeWithStartTls(client, log, [&](net::ByteStream& stream, bool secure) {
    net::StreamSink sink(stream);
    net::ProtocolLineReader reader([&stream](char* b, std::size_t n) { return stream.receive(b, n); }, c.clock,
                                   net::kMaxPop3Line, net::kMaxPop3Line + 1);
    Pop3Session session(client.config, c.log, sink,
                        {client.tls != nullptr && !secure, peer, &c.loginGuard, stamp, secure,
                         client.fromThisComputer});
    while (auto line = reader.nextLine()) {
      if (!session.handleLine(*line)) break;
    }
    if (session.startTlsRequested()) return true;
    if (!session.loggedIn()) c.log.LogPop3Srv(logtext::kLostAtLogin);
    return false;
  });
}

}  // namespace

int RunPop3Server(serving::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogPop3Srv(text); };
  const auto config = c.config.current();
  return serving::RunServerThread(c, kTexts, config->POP3_SRV_PORT, config->POP3_SRV_TLS_PORT, log,
                               [&c](serving::ClientConnection& client) { Serve(c, client); });
}

}  // namespace quelma::pop3_server
