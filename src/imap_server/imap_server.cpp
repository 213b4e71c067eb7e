// The IMAP server: the shared server thread with the IMAP greeting and session.
#include "imap_server/imap_server.h"

#include "imap_server/imap_replies.h"
#include "net/reply_sink.h"

namespace quelma::imap_server {
namespace {

constexpr serving::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                         logtext::kNotRunningEnd, reply::kTooManySessions};

// Until the session is in place: the greeting, and a goodbye.
void Serve(serving::ServerContext&, serving::ClientConnection& client) {
  net::StreamSink sink(client.stream);
  sink.send(std::string(reply::kGreetingBegin) + "IMAP4rev1" + reply::kGreetingEnd);
  sink.send("* BYE not yet\r\n");
}

}  // namespace

int RunImapServer(serving::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogImapSrv(text); };
  const auto config = c.config.current();
  return serving::RunServerThread(c, kTexts, config->IMAP_SRV_PORT, config->IMAP_SRV_TLS_PORT, log,
                                  [&c](serving::ClientConnection& client) { Serve(c, client); });
}

}  // namespace quelma::imap_server
