// The SMTP server: the shared server thread with the SMTP session and the message intake.
#include "smtp_server/smtp_server.h"

#include "net/protocol_line_reader.h"
#include "smtp_server/message_intake.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_session.h"

namespace quelma::smtp_server {
namespace {

constexpr std::size_t kMaxSmtpLine = 1199;  // CR LF included
constexpr std::size_t kReceiveSize = 1200;

constexpr link::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                     logtext::kNotRunningEnd};

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
  log.LogSmtpSrv(logtext::kProcessedBegin + stored->name + " от " + session.envelope().sender + logtext::kProcessedEnd);
  if (!stored->queued) log.LogSmtpSrv(logtext::kLocalOnly);
  session.messageStored();
  return true;
}

}  // namespace

int RunSmtpServer(link::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogSmtpSrv(text); };
  auto serve = [&c](net::ByteStream& client, std::shared_ptr<const config::Configuration> config) {
    net::StreamSink sink(client);
    if (!sink.send(reply::kGreeting)) return;
    net::ProtocolLineReader reader([&client](char* b, std::size_t n) { return client.receive(b, n); }, c.clock,
                                        kMaxSmtpLine, kReceiveSize);
    SmtpSession session(config, c.log, sink);
    while (auto line = reader.nextLine()) {
      const SmtpAction action = session.handleLine(*line);
      if (action == SmtpAction::kEnd) break;
      if (action == SmtpAction::kReceiveText && !ReceiveMessage(*config, session, reader, sink, c.log)) break;
    }
    if (!session.greeted()) c.log.LogSmtpSrv(logtext::kLostAtLogin);
  };
  return link::RunServerThread(c, kTexts, c.config.current()->SMTP_SRV_PORT, log, serve);
}

}  // namespace quelma::smtp_server
