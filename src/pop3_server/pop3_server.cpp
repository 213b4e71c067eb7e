// The POP3 server: the shared server thread with the POP3 greeting, line cap and session.
#include "pop3_server/pop3_server.h"

#include "net/protocol_line_reader.h"
#include "pop3_server/pop3_replies.h"
#include "pop3_server/pop3_session.h"

namespace quelma::pop3_server {
namespace {

constexpr std::size_t kMaxPop3Line = 1999;  // CR LF included

constexpr link::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                     logtext::kNotRunningEnd};

}  // namespace

int RunPop3Server(link::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogPop3Srv(text); };
  auto serve = [&c](net::ByteStream& client, std::shared_ptr<const config::Configuration> config) {
    net::StreamSink sink(client);
    if (!sink.send(reply::kGreeting)) return;
    net::ProtocolLineReader reader([&client](char* b, std::size_t n) { return client.receive(b, n); }, c.clock,
                                        kMaxPop3Line, 2000);
    Pop3Session session(std::move(config), c.log, sink);
    while (auto line = reader.nextLine()) {
      if (!session.handleLine(*line)) break;
    }
    if (!session.loggedIn()) c.log.LogPop3Srv(logtext::kLostAtLogin);
  };
  return link::RunServerThread(c, kTexts, c.config.current()->POP3_SRV_PORT, log, serve);
}

}  // namespace quelma::pop3_server
