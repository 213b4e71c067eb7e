// The provider session: greeting, EHLO with ESMTP login or HELO, transactions with sender and
// header rewriting, the trace header and dot transparency, and quit.
#include "smtp_client/provider_session.h"

#include <string>
#include <variant>

#include "codec/base64.h"
#include "net/sasl_oauth.h"
#include "net/transfer_form.h"
#include "net/tls_log_text.h"
#include "platform/line_reader.h"
#include "platform/text.h"
#include "smtp_client/sender_rewriting.h"
#include "smtp_client/smtp_authentication.h"

namespace quelma::smtp_client {
namespace {

// A line that ends with a lone LF or CR gets CR LF in its place, one without either gets it
// added: every line reaches the wire as an SMTP line.
void EndWithCrLf(std::string& line) {
  if (platform::EndsWithCrLf(line)) return;
  if (line.ends_with('\n') || line.ends_with('\r')) line.pop_back();
  line += "\r\n";
}

// RFC 5321: a line of text holds at most 1,000 bytes with its CR LF. A longer stored line is
// broken (see DotStuffer); the queue file keeps it whole.
constexpr std::size_t kMaxWireLine = 998;

// The reply codes the session goes by; a reply is judged by how its text begins.
namespace code {
constexpr std::string_view kReady = "220";          // the greeting; STARTTLS taken
constexpr std::string_view kOk = "250";             // EHLO, HELO, the end of the text
constexpr std::string_view kTaken = "25";           // MAIL and RCPT: 250, or 251 for a forwarded recipient
constexpr std::string_view kAuthenticated = "235";  // the last step of every login
constexpr std::string_view kGoOn = "334";           // a login's next step
constexpr std::string_view kStartText = "354";      // DATA
}  // namespace code

bool Begins(const std::string& text, std::string_view prefix) { return std::string_view(text).starts_with(prefix); }

}  // namespace

// A queue file that cannot be read to its end is not sent; it stays for the next session,
// and the connection is dropped so that the server never takes a cut message for whole.
TransactionResult ProviderSession::readFailure() {
  log("Не могу прочитать этот файл!!!\r\n");
  connection_.abandon(SmtpClientError::kLineSend);
  return TransactionResult::kFailed;
}

ProviderSession::Handler ProviderSession::HandlerOf(Phase phase) {
  switch (phase) {
    case Phase::kGreeting: return &ProviderSession::greeting;
    case Phase::kStartTls: return &ProviderSession::startTls;
    case Phase::kEhlo: return &ProviderSession::ehlo;
    case Phase::kAuth: return &ProviderSession::authenticate;
    case Phase::kOauth: return &ProviderSession::logInWithToken;
    case Phase::kHelo: return &ProviderSession::hello;
    case Phase::kReady: break;
  }
  return nullptr;
}

SmtpClientError ProviderSession::logIn() {
  while (phase_ != Phase::kReady) {
    if (const SmtpClientError e = (this->*HandlerOf(phase_))(); e != SmtpClientError::kNone) return e;
  }
  log("Сервер готов к приему сообщений.\r\n");
  return SmtpClientError::kNone;
}

// After the greeting (and TLS): an OAuth login, an ESMTP login, or HELO alone.
ProviderSession::Phase ProviderSession::loginPhase() const {
  if (config_.SMTP_AUTH != config::OauthMechanism::kNone) return Phase::kOauth;
  return config_.SMTP_USES_LOGIN ? Phase::kEhlo : Phase::kHelo;
}

SmtpClientError ProviderSession::greeting() {
  if (!readReply(SmtpClientError::kGreetingReceive)) return error();
  if (!Begins(connection_.reply(), code::kReady)) return SmtpClientError::kGreetingRefused;
  phase_ = startTls_ ? Phase::kStartTls : loginPhase();
  return SmtpClientError::kNone;
}

// A server without ESMTP, or without a method we know, is used without a login: HELO follows
// the EHLO on the same connection.
SmtpClientError ProviderSession::ehlo() {
  log("Logging in to SMTP server\r\n");
  connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  phase_ = Phase::kHelo;
  if (!Begins(connection_.reply(), code::kOk)) {
    log("Server does not support ESMTP\r\n");
    return SmtpClientError::kNone;
  }
  method_ = ChooseAuthMethod(connection_.reply());
  if (method_ == AuthMethod::kNone) {
    log("Сервер не поддерживает методы аутентификации ESMTP\r\n");
  } else {
    phase_ = Phase::kAuth;
  }
  return SmtpClientError::kNone;
}

// EHLO must list STARTTLS and STARTTLS must get 220; then the handshake and its checks. What
// follows is said again over TLS from EHLO on, as if the connection were new.
SmtpClientError ProviderSession::startTls() {
  connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  const bool offered = Begins(connection_.reply(), code::kOk) && EhloOffers(connection_.reply(), "STARTTLS");
  if (offered) {
    log("STARTTLS\r\n");
    connection_.send("STARTTLS\r\n", SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
  }
  if (!offered || !Begins(connection_.reply(), code::kReady)) {
    log(offered ? "Сервер отказал в STARTTLS: " + connection_.reply() : std::string("Сервер не предлагает STARTTLS\r\n"));
    log("Передача почты без шифрования запрещена настройками\r\n");
    quit();
    return SmtpClientError::kStartTlsNotOffered;
  }
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(*startTls_, connection_.stream(), [this](const std::string& text) { log(text); },
                                failure);
  if (!secure_) {
    connection_.abandon(TlsError(failure));
    return error();
  }
  connection_.restart(*secure_);
  phase_ = loginPhase();
  return SmtpClientError::kNone;
}

// An OAuth login has no fall-back: EHLO must list the mechanism, or nothing is sent.
SmtpClientError ProviderSession::logInWithToken() {
  log("Logging in to SMTP server\r\n");
  connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  const std::string_view mechanism = config::OauthMechanismName(config_.SMTP_AUTH);
  if (!Begins(connection_.reply(), code::kOk) || !EhloOffersMechanism(connection_.reply(), mechanism)) {
    log("Сервер не предлагает вход " + std::string(mechanism) + ", заданный в SMTP_AUTH\r\n");
    quit();
    return SmtpClientError::kAuthNotOffered;
  }
  // The first refusal may be of a token that has just expired or been revoked at the server:
  // one more try with a new one, unless it was new already.
  SmtpClientError outcome = SmtpClientError::kNone;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1) {
      if (!tokens_ || !tokens_->renewable()) break;
      renewed_ = true;
    }
    outcome = authOauth();
    if (outcome != SmtpClientError::kLoginRefused) break;
  }
  if (outcome == SmtpClientError::kNone) {
    phase_ = Phase::kReady;
  } else if (error() == SmtpClientError::kNone) {
    quit();
  }
  return outcome;
}

// "AUTH MECHANISM", the server's 334, then the token on a line of its own: a token of a few
// kilobytes does not fit the command line some servers take (Postfix: 2,048 bytes). An error
// challenge (334) is logged and answered so the server ends the exchange. Neither the token
// nor the line that carries it is ever logged.
SmtpClientError ProviderSession::authOauth() {
  const std::optional<std::string> token = tokens_ ? tokens_->accessToken(renewed_) : std::nullopt;
  if (!token) return tokens_ && !tokens_->loginNeeded() ? SmtpClientError::kOauthToken : SmtpClientError::kOauthLogin;
  const std::string mechanism(config::OauthMechanismName(config_.SMTP_AUTH));
  log("AUTH " + mechanism + "\r\n");
  connection_.send("AUTH " + mechanism + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (Begins(connection_.reply(), code::kGoOn)) {
    connection_.send((config_.SMTP_AUTH == config::OauthMechanism::kXoauth2
                          ? net::Xoauth2Response(config_.SMTP_LOGIN_NAME, *token)
                          : net::OauthBearerResponse(config_.SMTP_LOGIN_NAME, config_.SMTPServer, config_.SMTPSport, *token)) +
                         "\r\n",
                     SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
    if (Begins(connection_.reply(), code::kGoOn)) {
      log("Ответ сервера на маркер доступа: " + net::OauthErrorSummary(std::string_view(connection_.reply()).substr(3)) + "\r\n");
      const std::string end = config_.SMTP_AUTH == config::OauthMechanism::kXoauth2 ? "" : net::OauthBearerAbort();
      connection_.send(end + "\r\n", SmtpClientError::kLoginSend);
      if (!readReply(SmtpClientError::kLoginReceive)) return error();
    }
  }
  if (Begins(connection_.reply(), code::kAuthenticated)) return SmtpClientError::kNone;
  log("Сервер не принял маркер доступа: " + platform::Printable(connection_.reply(), 200) + "\r\n");
  return SmtpClientError::kLoginRefused;
}

SmtpClientError ProviderSession::hello() {
  connection_.send("HELO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (!Begins(connection_.reply(), code::kOk)) return SmtpClientError::kLoginRefused;
  phase_ = Phase::kReady;
  return SmtpClientError::kNone;
}

// The method the EHLO reply offered (the best one we know).
SmtpClientError ProviderSession::authenticate() {
  SmtpClientError outcome = SmtpClientError::kNone;
  switch (method_) {
    case AuthMethod::kCramMd5:
      log("AUTH CRAM-MD5\r\n");
      outcome = authCramMd5();
      break;
    case AuthMethod::kPlain:
      log("AUTH PLAIN\r\n");
      outcome = authPlain();
      break;
    case AuthMethod::kLogin:
      log("AUTH LOGIN\r\n");
      outcome = authLogin();
      break;
    case AuthMethod::kNone: break;
  }
  if (outcome == SmtpClientError::kNone) phase_ = Phase::kReady;
  return outcome;
}

// The last reply of every method: anything but 235 ends the upload, with the server's words
// in the log.
SmtpClientError ProviderSession::requireAccepted() {
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (Begins(connection_.reply(), code::kAuthenticated)) return SmtpClientError::kNone;
  log("Сервер не принял имя или пароль и возвратил сообщение:\r\n");
  log(connection_.reply());
  return SmtpClientError::kLoginRefused;
}

SmtpClientError ProviderSession::authPlain() {
  connection_.send("AUTH PLAIN " + PlainCredentials(config_.SMTP_LOGIN_NAME, config_.SMTP_LOGIN_PASS) + "\r\n",
                   SmtpClientError::kLoginSend);
  return requireAccepted();
}

SmtpClientError ProviderSession::authLogin() {
  // The texts of the two 334 prompts are not looked at: the name comes first, then the password.
  for (const std::string& line : {std::string("AUTH LOGIN"), codec::Base64Encode(config_.SMTP_LOGIN_NAME)}) {
    connection_.send(line + "\r\n", SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
    if (!Begins(connection_.reply(), code::kGoOn)) return SmtpClientError::kLoginRefused;
  }
  connection_.send(codec::Base64Encode(config_.SMTP_LOGIN_PASS) + "\r\n", SmtpClientError::kLoginSend);
  return requireAccepted();
}

SmtpClientError ProviderSession::authCramMd5() {
  connection_.send("AUTH CRAM-MD5\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (!Begins(connection_.reply(), code::kGoOn)) return SmtpClientError::kLoginReceive;
  const auto answer = CramMd5Answer(connection_.reply(), config_.SMTP_LOGIN_NAME, config_.SMTP_LOGIN_PASS);
  if (const SmtpClientError* e = std::get_if<SmtpClientError>(&answer)) return *e;
  connection_.send(std::get<std::string>(answer) + "\r\n", SmtpClientError::kLoginSend);
  return requireAccepted();
}

// A transaction the server still holds open (its DATA was refused, or it got no recipient)
// would make the next MAIL a nested one: RSET closes it first. Its reply is not judged.
bool ProviderSession::resetOpenTransaction() {
  if (!transactionOpen_) return true;
  connection_.send("RSET\r\n", SmtpClientError::kMailSend);
  transactionOpen_ = false;
  return readReply(SmtpClientError::kEnvelopeReceive);
}

// False when the sender was refused or the connection failed (error() tells which).
bool ProviderSession::sendSender(const std::string& sender) {
  sender_ = sender;
  const std::string command = "MAIL FROM:<" + sender_ + ">\r\n";
  connection_.send(command, SmtpClientError::kMailSend);
  if (!readReply(SmtpClientError::kEnvelopeReceive)) return false;
  if (Begins(connection_.reply(), code::kTaken)) {
    transactionOpen_ = true;
    return true;
  }
  log("SMTP server refused to send message from given address:\r\n");
  log(command);
  log(connection_.reply());
  noteRefusal(command);
  return false;
}

// False when the recipient was refused or the connection failed (error() tells which).
bool ProviderSession::sendRecipient(const std::string& line) {
  std::string command = line;
  EndWithCrLf(command);
  connection_.send(command, SmtpClientError::kRecipientSend);
  if (!readReply(SmtpClientError::kEnvelopeReceive)) return false;
  if (Begins(connection_.reply(), code::kTaken)) return true;
  log("SMTP server refused to send message to given address:\r\n");
  log(command);
  log(connection_.reply());
  noteRefusal(command);
  return false;
}

// The provider's word on what it refused, for the notice: the command, then its reply.
void ProviderSession::noteRefusal(std::string command) {
  if (refusals_.size() >= kRefusalsKept) return;
  std::string reply = connection_.reply();
  EndWithCrLf(command);
  EndWithCrLf(reply);
  refusals_.push_back(command + reply);
}

// Inside the header, a whole line's start: the trace header before the empty line that ends
// it, and the first From: and Reply-To: lines rewritten to the sender.
void ProviderSession::rewriteHeaderLine(std::string& line) {
  if (traceAdded_) return;
  if (line[0] == '\r' || line[0] == '\n') {
    line = std::string(kTraceHeader) + "\r\n";
    traceAdded_ = true;
    return;
  }
  // A message with the null reverse-path (a bounce, a receipt) keeps its header lines as they are.
  if (sender_.empty()) return;
  if (line[0] == 'F' && !fromHandled_ && platform::StartsWithIgnoreAsciiCase(line, "From: ")) {
    line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
    fromHandled_ = true;
  } else if (line[0] == 'R' && !replyToHandled_ && platform::StartsWithIgnoreAsciiCase(line, "Reply-To: ")) {
    line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
    replyToHandled_ = true;
  }
}

// The message text from where the envelope ends, in transfer form; then the end line and the
// provider's verdict. Lines are read in pieces of the queue file's cap; only a piece that
// begins a line is looked at.
TransactionResult ProviderSession::sendText(platform::InputFile& file, std::uint64_t offset) {
  if (!file.seek(offset)) return readFailure();
  traceAdded_ = fromHandled_ = replyToHandled_ = false;
  net::DotStuffer stuffer({true, kMaxWireLine});
  platform::LineReader reader(file, spool::kMaxQueueLine);
  std::string line;
  bool lineStart = true;
  while (!connection_.failed() && reader.next(line)) {
    if (lineStart) rewriteHeaderLine(line);
    // A line that gets a transparency dot keeps that dot's error number when its sending fails.
    const bool dotted = lineStart && line[0] == '.';
    lineStart = line.back() == '\n';
    connection_.sendWith([&](std::string& out) { stuffer.add(line, out); },
                         dotted ? SmtpClientError::kDotSend : SmtpClientError::kLineSend);
  }
  if (connection_.failed()) return TransactionResult::kFailed;
  if (file.failed()) return readFailure();
  connection_.sendWith([&](std::string& out) { stuffer.finish(out); }, SmtpClientError::kEndSend);
  if (!readReply(SmtpClientError::kEndReceive)) return TransactionResult::kFailed;
  transactionOpen_ = false;
  if (Begins(connection_.reply(), code::kOk)) return TransactionResult::kSent;
  noteRefusal(".");
  return TransactionResult::kEndRefused;
}

TransactionResult ProviderSession::sendQueueFile(platform::InputFile& file, const std::function<void()>& onAccepted) {
  if (!file.rewind()) return readFailure();
  QueuedMessage message;
  const spool::QueueFileKind kind = spool::ReadQueueEnvelope(file, message.envelope);
  if (file.failed()) return readFailure();
  if (kind != spool::QueueFileKind::kMessage) return TransactionResult::kSenderRefused;
  if (message.envelope.sender.size() > kMaxSender) {
    log("Адрес отправителя длиннее " + std::to_string(kMaxSender) + " символов.\r\n");
    return TransactionResult::kSenderRefused;
  }
  message.sender = RewriteSender(message.envelope.sender, config_);
  return sendQueueFile(file, message, onAccepted);
}

ProviderSession::Step ProviderSession::StepOf(Stage stage) {
  switch (stage) {
    case Stage::kReset: return &ProviderSession::resetStage;
    case Stage::kSender: return &ProviderSession::senderStage;
    case Stage::kRecipients: return &ProviderSession::recipientsStage;
    case Stage::kData: return &ProviderSession::dataStage;
    case Stage::kText: return &ProviderSession::textStage;
    case Stage::kDone: break;
  }
  return nullptr;
}

TransactionResult ProviderSession::sendQueueFile(platform::InputFile& file, const QueuedMessage& message,
                                                 const std::function<void()>& onAccepted) {
  refusals_.clear();
  Transaction t{file, message, onAccepted};
  while (t.stage != Stage::kDone) (this->*StepOf(t.stage))(t);
  return t.result;
}

void ProviderSession::Transaction::end(TransactionResult outcome) {
  result = outcome;
  stage = Stage::kDone;
}

// Only a first line in exactly this case is a sender line; in any other the file's text
// begins there, and without envelope lines nothing is sent.
void ProviderSession::resetStage(Transaction& t) {
  if (!resetOpenTransaction()) return t.end(TransactionResult::kFailed);
  if (t.message.envelope.messageOffset == 0) return t.end(TransactionResult::kSenderRefused);
  t.stage = Stage::kSender;
}

void ProviderSession::senderStage(Transaction& t) {
  if (sendSender(t.message.sender)) {
    t.stage = Stage::kRecipients;
  } else {
    t.end(connection_.failed() ? TransactionResult::kFailed : TransactionResult::kSenderRefused);
  }
}

// Without one accepted recipient there is nobody to send the text to: the recipients were
// refused, and the notice says so.
void ProviderSession::recipientsStage(Transaction& t) {
  for (const std::string& line : t.message.envelope.recipientLines) {
    ++(sendRecipient(line) ? t.accepted : t.refused);
    if (connection_.failed()) return t.end(TransactionResult::kFailed);
  }
  if (t.accepted == 0) return t.end(TransactionResult::kSenderRefused);
  t.stage = Stage::kData;
}

void ProviderSession::dataStage(Transaction& t) {
  connection_.send("DATA\r\n", SmtpClientError::kDataSend);
  if (!readReply(SmtpClientError::kDataReceive)) return t.end(TransactionResult::kFailed);
  if (!Begins(connection_.reply(), code::kStartText)) {
    noteRefusal("DATA");
    return t.end(TransactionResult::kDataRefused);
  }
  t.stage = Stage::kText;
}

// Any refused recipient, not only the last, gets the sender a notice.
void ProviderSession::textStage(Transaction& t) {
  const TransactionResult result = sendText(t.file, t.message.envelope.messageOffset);
  if (result != TransactionResult::kSent) return t.end(result);
  t.onAccepted();
  t.end(t.refused > 0 ? TransactionResult::kSentWithRefusedRecipient : TransactionResult::kSent);
}

SmtpClientError ProviderSession::quit() {
  log("Отключение от сервера.\r\n");
  connection_.send("quit\r\n", SmtpClientError::kQuitSend);
  readReply(SmtpClientError::kQuitReceive);
  if (secure_) secure_->close();  // our close_notify, then the connection closes
  return error();
}

}  // namespace quelma::smtp_client
