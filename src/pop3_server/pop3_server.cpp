// The POP3 server: the shared server thread with the POP3 greeting, line cap and session.
#include "pop3_server/pop3_server.h"

#include "link/start_tls_serving.h"
#include "net/protocol_line_reader.h"
#include "pop3_server/pop3_replies.h"
#include "pop3_server/pop3_session.h"

namespace quelma::pop3_server {
namespace {

constexpr std::size_t kMaxPop3Line = 1999;  // CR LF included

constexpr link::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                     logtext::kNotRunningEnd, reply::kTooManySessions};

// One client, greeting included. After STLS the dialogue starts over through TLS with a new
// session and a new reader.
void Serve(link::ServerContext& c, link::ClientConnection& client) {
  const std::string stamp = link::NewLoginChallenge(client.config->LocalDomain);
  if (!net::StreamSink(client.stream).send(Pop3Greeting(stamp))) return;
  const auto address = client.stream.peerAddress();
  const std::string peer = address ? address->toString() : "unknown";
  auto log = [&c](const std::string& t) { c.log.LogPop3Srv(t); };
  link::ServeWithStartTls(client, log, [&](net::ByteStream& stream, bool secure) {
    net::StreamSink sink(stream);
    net::ProtocolLineReader reader([&stream](char* b, std::size_t n) { return stream.receive(b, n); }, c.clock,
                                   kMaxPop3Line, 2000);
    Pop3Session session(client.config, c.log, sink,
                        {client.tls != nullptr && !secure, peer, &link::ProcessLoginGuard(), stamp, secure,
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

int RunPop3Server(link::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogPop3Srv(text); };
  const auto config = c.config.current();
  return link::RunServerThread(c, kTexts, config->POP3_SRV_PORT, config->POP3_SRV_TLS_PORT, log,
                               [&c](link::ClientConnection& client) { Serve(c, client); });
}

}  // namespace quelma::pop3_server
