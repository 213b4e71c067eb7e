// The protocol side of the upload, as phases driven by the provider's replies: greeting, EHLO
// with an ESMTP login or HELO (a phase table), one transaction per queue file (a stage table:
// RSET when needed, MAIL, RCPT, DATA, the text), quit. It
// speaks through any byte stream, so a test can play the provider without a socket. A fatal
// fault ends the whole upload: the phase returns it, and error() keeps it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "link/activity_log.h"
#include "net/access_token_source.h"
#include "net/byte_stream.h"
#include "net/tls.h"
#include "platform/files.h"
#include "smtp_client/provider_connection.h"
#include "smtp_client/smtp_authentication.h"
#include "smtp_client/smtp_client_error.h"
#include "spool/queue_file.h"

namespace quelma::smtp_client {

enum class TransactionResult {
  kFailed = -1,  // a fatal fault: see error()
  kSent = 0,
  kSenderRefused = 1,  // or no recipient accepted: nothing was sent
  kDataRefused = 2,
  kEndRefused = 3,
  kSentWithRefusedRecipient = 4,  // sent to the accepted recipients; one or more were refused
};

// A queue file's envelope as the upload read it, with the sender rewritten.
struct QueuedMessage {
  spool::QueueEnvelope envelope;
  std::string sender;
};

inline constexpr char kTraceHeader[] =
    "X-Passed-Through: Quelmar Mail Server v.0.7.10, office mail relay\r\n";

class ProviderSession {
 public:
  // With `startTls` the session asks for TLS after the greeting, and a server that does not
  // offer STARTTLS is an error: nothing but EHLO and STARTTLS goes out in clear. With
  // SMTP_AUTH the login takes its access tokens from `tokens`.
  ProviderSession(net::ByteStream& stream, const config::Configuration& config, link::ActivityLog& log,
                  const net::TlsClient* startTls = nullptr, net::AccessTokenSource* tokens = nullptr)
      : config_(config), log_(log), connection_(stream), startTls_(startTls), tokens_(tokens) {}

  // Greeting, (EHLO and STARTTLS,) then EHLO and AUTH when the settings ask for a login (HELO
  // when that cannot be had), else HELO: on kNone the server is ready for MAIL.
  SmtpClientError logIn();
  // `accepted` is called the moment the provider's 250 for the end of the text is read.
  TransactionResult sendQueueFile(platform::InputFile& file, const QueuedMessage& message,
                                  const std::function<void()>& accepted = [] {});
  // The same, with the envelope read from the file here.
  TransactionResult sendQueueFile(platform::InputFile& file, const std::function<void()>& accepted = [] {});
  SmtpClientError quit();
  SmtpClientError error() const { return connection_.error(); }
  // What the provider refused in the last transaction, for the notice: each the command as
  // sent, then the provider's reply, CR LF after each (a few dozen at most).
  const std::vector<std::string>& refusals() const { return refusals_; }

 private:
  // The login's phases, each a function that reads the server's reply and picks the next.
  enum class Phase { kGreeting, kStartTls, kEhlo, kAuth, kOauth, kHelo, kReady };
  using Handler = SmtpClientError (ProviderSession::*)();
  static Handler HandlerOf(Phase phase);
  Phase loginPhase() const;

  void log(std::string_view text) { log_.LogSmtpClient(text); }
  SmtpClientError greeting();
  SmtpClientError startTls();
  SmtpClientError ehlo();
  SmtpClientError hello();
  SmtpClientError authenticate();
  SmtpClientError authPlain();
  SmtpClientError authLogin();
  SmtpClientError authCramMd5();
  SmtpClientError logInWithToken();
  SmtpClientError authOauth();
  SmtpClientError requireAccepted();
  bool readReply(SmtpClientError error) { return connection_.readReply(error); }

  // A transaction's stages, each a function that reads the server's reply and picks the next
  // stage or ends the transaction with its result.
  enum class Stage { kReset, kSender, kRecipients, kData, kText, kDone };
  struct Transaction {
    platform::InputFile& file;
    const QueuedMessage& message;
    const std::function<void()>& onAccepted;
    Stage stage = Stage::kReset;
    TransactionResult result = TransactionResult::kFailed;
    std::size_t accepted = 0, refused = 0;  // recipients
    void end(TransactionResult outcome);
  };
  using Step = void (ProviderSession::*)(Transaction&);
  static Step StepOf(Stage stage);
  void resetStage(Transaction& t);
  void senderStage(Transaction& t);
  void recipientsStage(Transaction& t);
  void dataStage(Transaction& t);
  void textStage(Transaction& t);
  TransactionResult readFailure();
  bool resetOpenTransaction();
  bool sendSender(const std::string& sender);
  bool sendRecipient(const std::string& line);
  void rewriteHeaderLine(std::string& line);
  TransactionResult sendText(platform::InputFile& file, std::uint64_t offset);

  const config::Configuration& config_;
  link::ActivityLog& log_;
  ProviderConnection connection_;
  const net::TlsClient* startTls_;
  net::AccessTokenSource* tokens_;
  std::unique_ptr<net::ByteStream> secure_;  // TLS over the connection after STARTTLS
  Phase phase_ = Phase::kGreeting;
  AuthMethod method_ = AuthMethod::kNone;    // the one the EHLO reply offered
  std::string sender_;              // the rewritten sender of the current transaction
  bool transactionOpen_ = false;    // MAIL was accepted and no end of data followed
  bool renewed_ = false;            // the access token was renewed after a refusal
  bool traceAdded_ = false;
  bool fromHandled_ = false;
  bool replyToHandled_ = false;
  std::vector<std::string> refusals_;
  static constexpr std::size_t kRefusalsKept = 50;
  void noteRefusal(std::string command);
};

}  // namespace quelma::smtp_client
