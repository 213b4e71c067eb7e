// The SMTP server: the shared server thread with the SMTP session and the message intake.
#include "smtp_server/smtp_server.h"

#include "config/list_setting.h"
#include "serving/start_tls_serving.h"
#include "net/address_ranges.h"
#include "net/line_limits.h"
#include "net/protocol_line_reader.h"
#include "smtp_server/message_intake.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_session.h"

namespace quelma::smtp_server {
namespace {

constexpr std::size_t kReceiveSize = net::kMaxSmtpLine + 1;

constexpr serving::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                     logtext::kNotRunningEnd, reply::kTooManySessions};

// Receives one message after "354"; false when the session is to end.
bool ReceiveMessage(const config::Configuration& config, SmtpSession& session, net::ProtocolLineReader& reader,
                    net::ReplySink& sink, link::ActivityLog& log) {
  MessageIntake intake(config, session.envelope());
  // A work file that cannot be made still lets the client finish its text, so that it hears
  // why the message was not taken.
  intake.begin();
  for (;;) {
    const auto piece = reader.nextPiece(kMaxStoredLine);
    if (!piece) return false;  // the work file goes with the intake
    if (intake.addPiece(*piece)) break;
  }
  const auto stored = intake.finish();
  if (!stored) {
    sink.send(reply::kShuttingDown);
    // The file that could not be written and why, not a queue file that local mail never has.
    log.LogSmtpSrv(logtext::kCannotCreateBegin + intake.failure() + logtext::kCannotCreateEnd);
    return false;
  }
  if (!sink.send(reply::kOk)) {
    intake.withdraw(*stored);
    return false;
  }
  log.LogSmtpSrv(logtext::kProcessedBegin + stored->name + " от " + Printable(session.envelope().sender) + logtext::kProcessedEnd);
  if (!stored->queued) log.LogSmtpSrv(logtext::kLocalOnly);
  if (!intake.unfinished().empty()) log.LogSmtpSrv(logtext::kUnfinishedBegin + intake.unfinished() + logtext::kUnfinishedEnd);
  session.messageStored();
  return true;
}

// Whether the client may send to outside addresses: its address lies in RELAY_NETWORKS. A
// list that cannot be read is taken as loopback only.
struct RelayPermission {
  bool allowed = false;
  std::string client;
};

RelayPermission RelayPermissionOf(const config::Configuration& config, const net::ByteStream& stream) {
  auto ranges = net::ParseAddressRanges(config::ListItems(config.RELAY_NETWORKS));
  if (!ranges) ranges = net::ParseAddressRanges(config::ListItems(config::defaults::kLoopbackNetworks));
  const auto peer = stream.peerAddress();
  if (!peer) return {false, "unknown"};
  return {net::InRanges(*ranges, *peer), peer->toString()};
}

// One client, greeting included. After STARTTLS the dialogue starts over through TLS with a
// new session and a new reader.
void Serve(serving::ServerContext& c, serving::ClientConnection& client) {
  if (!net::StreamSink(client.stream).send(reply::kGreeting)) return;
  const RelayPermission relay = RelayPermissionOf(*client.config, client.stream);
  const std::string challenge = serving::NewLoginChallenge(client.config->LocalDomain);
  const auto& config = client.config;
  auto log = [&c](const std::string& t) { c.log.LogSmtpSrv(t); };
  serving::ServeWithStartTls(client, log, [&](net::ByteStream& stream, bool secure) {
    net::StreamSink sink(stream);
    net::ProtocolLineReader reader([&stream](char* b, std::size_t n) { return stream.receive(b, n); }, c.clock,
                                   net::kMaxSmtpLine, kReceiveSize);
    SmtpSession session(config, c.log, sink,
                        {config->SMTP_EHLO, client.tls != nullptr && !secure, relay.allowed, relay.client, secure,
                         &c.loginGuard, challenge});
    SmtpAction action = SmtpAction::kEnd;
    while (auto line = reader.nextLine()) {
      action = session.handleLine(*line);
      if (action == SmtpAction::kEnd || action == SmtpAction::kStartTls) break;
      if (action == SmtpAction::kReceiveText && !ReceiveMessage(*config, session, reader, sink, c.log)) {
        action = SmtpAction::kEnd;
        break;
      }
    }
    if (action == SmtpAction::kStartTls) return true;
    if (!session.greeted()) c.log.LogSmtpSrv(logtext::kLostAtLogin);
    return false;
  });
}

}  // namespace

int RunSmtpServer(serving::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogSmtpSrv(text); };
  const auto config = c.config.current();
  return serving::RunServerThread(c, kTexts, config->SMTP_SRV_PORT, config->SMTP_SRV_TLS_PORT, log,
                               [&c](serving::ClientConnection& client) { Serve(c, client); });
}

}  // namespace quelma::smtp_server
