// The provider session: greeting, EHLO with ESMTP login or HELO, transactions with sender and
// header rewriting, the trace header and dot transparency, and quit.
#include "smtp_client/provider_session.h"

#include <variant>

#include "codec/base64.h"
#include "net/sasl_oauth.h"
#include "net/tls_log_text.h"
#include "platform/text.h"
#include "smtp_client/queue_line_reader.h"
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

bool Begins(const std::string& text, std::string_view code) { return std::string_view(text).starts_with(code); }

}  // namespace

// A queue file that cannot be read to its end is not sent; it stays for the next session,
// and the connection is dropped so that the server never takes a cut message for whole.
TransactionResult ProviderSession::readFailure() {
  log("Не могу прочитать этот файл!!!\r\n");
  connection_.abandon(SmtpClientError::kLineSend);
  return TransactionResult::kFailed;
}

SmtpClientError ProviderSession::logIn() {
  if (!readReply(SmtpClientError::kGreetingReceive)) return error();
  if (!Begins(connection_.reply(), "220")) return SmtpClientError::kGreetingRefused;
  if (startTls_) {
    if (const SmtpClientError e = startTls(); e != SmtpClientError::kNone) return e;
  }
  if (config_.SMTP_AUTH != config::OauthMechanism::kNone) return logInWithToken();
  if (config_.SMTP_USES_LOGIN) {
    log("Logging in to SMTP server\r\n");
    connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
    if (!Begins(connection_.reply(), "250")) {
      log("Server does not support ESMTP\r\n");
    } else {
      Login outcome = Login::kNoMethod;
      if (const SmtpClientError e = authenticate(outcome); e != SmtpClientError::kNone) return e;
      if (outcome == Login::kDone) {
        log("Сервер готов к приему сообщений.\r\n");
        return SmtpClientError::kNone;
      }
      log("Сервер не поддерживает методы аутентификации ESMTP\r\n");
    }
  }
  return hello();
}

// EHLO must list STARTTLS and STARTTLS must get 220; then the handshake and its checks. What
// follows is said again over TLS from EHLO on, as if the connection were new.
SmtpClientError ProviderSession::startTls() {
  connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  const bool offered = Begins(connection_.reply(), "250") && EhloOffers(connection_.reply(), "STARTTLS");
  if (offered) {
    log("STARTTLS\r\n");
    connection_.send("STARTTLS\r\n", SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
  }
  if (!offered || !Begins(connection_.reply(), "220")) {
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
  return SmtpClientError::kNone;
}

// An OAuth login has no fall-back: EHLO must list the mechanism, or nothing is sent.
SmtpClientError ProviderSession::logInWithToken() {
  log("Logging in to SMTP server\r\n");
  connection_.send("EHLO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  const std::string_view mechanism = config::OauthMechanismName(config_.SMTP_AUTH);
  if (!Begins(connection_.reply(), "250") || !EhloOffersMechanism(connection_.reply(), mechanism)) {
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
    log("Сервер готов к приему сообщений.\r\n");
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
  if (Begins(connection_.reply(), "334")) {
    connection_.send((config_.SMTP_AUTH == config::OauthMechanism::kXoauth2
                          ? net::Xoauth2Response(config_.SMTP_LOGIN_NAME, *token)
                          : net::OauthBearerResponse(config_.SMTP_LOGIN_NAME, config_.SMTPServer, config_.SMTPSport, *token)) +
                         "\r\n",
                     SmtpClientError::kLoginSend);
    if (!readReply(SmtpClientError::kLoginReceive)) return error();
    if (Begins(connection_.reply(), "334")) {
      log("Ответ сервера на маркер доступа: " + net::OauthErrorSummary(std::string_view(connection_.reply()).substr(3)) + "\r\n");
      const std::string end = config_.SMTP_AUTH == config::OauthMechanism::kXoauth2 ? "" : net::OauthBearerAbort();
      connection_.send(end + "\r\n", SmtpClientError::kLoginSend);
      if (!readReply(SmtpClientError::kLoginReceive)) return error();
    }
  }
  if (Begins(connection_.reply(), "235")) return SmtpClientError::kNone;
  log("Сервер не принял маркер доступа: " + platform::Printable(connection_.reply(), 200) + "\r\n");
  return SmtpClientError::kLoginRefused;
}

SmtpClientError ProviderSession::hello() {
  connection_.send("HELO " + config_.LocalDomain + "\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (!Begins(connection_.reply(), "250")) return SmtpClientError::kLoginRefused;
  log("Сервер готов к приему сообщений.\r\n");
  return SmtpClientError::kNone;
}

// The best method the EHLO reply offers; kNoMethod when it offers none we know.
SmtpClientError ProviderSession::authenticate(Login& outcome) {
  outcome = Login::kDone;
  switch (ChooseAuthMethod(connection_.reply())) {
    case AuthMethod::kCramMd5:
      log("AUTH CRAM-MD5\r\n");
      return authCramMd5();
    case AuthMethod::kPlain:
      log("AUTH PLAIN\r\n");
      return authPlain();
    case AuthMethod::kLogin:
      log("AUTH LOGIN\r\n");
      return authLogin();
    case AuthMethod::kNone:
      break;
  }
  outcome = Login::kNoMethod;
  return SmtpClientError::kNone;
}

// The last reply of every method: anything but 235 ends the upload, with the server's words
// in the log.
SmtpClientError ProviderSession::requireAccepted() {
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (Begins(connection_.reply(), "235")) return SmtpClientError::kNone;
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
    if (!Begins(connection_.reply(), "334")) return SmtpClientError::kLoginRefused;
  }
  connection_.send(codec::Base64Encode(config_.SMTP_LOGIN_PASS) + "\r\n", SmtpClientError::kLoginSend);
  return requireAccepted();
}

SmtpClientError ProviderSession::authCramMd5() {
  connection_.send("AUTH CRAM-MD5\r\n", SmtpClientError::kLoginSend);
  if (!readReply(SmtpClientError::kLoginReceive)) return error();
  if (!Begins(connection_.reply(), "334")) return SmtpClientError::kLoginReceive;
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
bool ProviderSession::sendSender(const std::string& line) {
  const auto sender = ExtractSender(line);
  if (!sender) {
    log("Адрес отправителя длиннее 103 символов.\r\n");
    return false;
  }
  sender_ = RewriteSender(*sender, config_);
  const std::string command = "MAIL FROM:<" + sender_ + ">\r\n";
  connection_.send(command, SmtpClientError::kMailSend);
  if (!readReply(SmtpClientError::kEnvelopeReceive)) return false;
  if (Begins(connection_.reply(), "25")) {
    transactionOpen_ = true;
    return true;
  }
  log("SMTP server refused to send message from given address:\r\n");
  log(command);
  log(connection_.reply());
  return false;
}

// False when the recipient was refused or the connection failed (error() tells which).
bool ProviderSession::sendRecipient(const std::string& line) {
  std::string command = line;
  EndWithCrLf(command);
  connection_.send(command, SmtpClientError::kRecipientSend);
  if (!readReply(SmtpClientError::kEnvelopeReceive)) return false;
  if (Begins(connection_.reply(), "25")) return true;
  log("SMTP server refused to send message to given address:\r\n");
  log(command);
  log(connection_.reply());
  return false;
}

// A piece that does not begin its line (a line longer than the reader's cap) goes on as it
// is: only whole lines' starts are looked at, and only a line's last piece gets its CR LF.
void ProviderSession::sendMessageLine(std::string& line, bool lineStart) {
  if (!lineStart) {
    if (line.ends_with('\n')) EndWithCrLf(line);
    connection_.send(line, SmtpClientError::kLineSend);
    return;
  }
  if (!traceAdded_ && (line[0] == '\r' || line[0] == '\n')) {
    line = std::string(kTraceHeader) + "\r\n";
    traceAdded_ = true;
  }
  // A message with the null reverse-path (a bounce, a receipt) keeps its header lines as they are.
  if (!traceAdded_ && !sender_.empty()) {
    if (line[0] == 'F' && !fromHandled_ && platform::StartsWithIgnoreAsciiCase(line, "From: ")) {
      line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
      fromHandled_ = true;
    } else if (line[0] == 'R' && !replyToHandled_ && platform::StartsWithIgnoreAsciiCase(line, "Reply-To: ")) {
      line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
      replyToHandled_ = true;
    }
  }
  if (line[0] == '.') connection_.send(".", SmtpClientError::kDotSend);
  if (line.size() < spool::kMaxQueueLine || line.ends_with('\n')) EndWithCrLf(line);
  connection_.send(line, SmtpClientError::kLineSend);
}

TransactionResult ProviderSession::sendQueueFile(platform::InputFile& file, const std::function<void()>& onAccepted) {
  std::size_t accepted = 0, refused = 0;
  if (!resetOpenTransaction()) return TransactionResult::kFailed;
  traceAdded_ = fromHandled_ = replyToHandled_ = false;
  if (!file.rewind()) {
    connection_.abandon(SmtpClientError::kLineSend);
    return TransactionResult::kFailed;
  }
  QueueLineReader reader(file);
  std::string line;
  bool messageBegun = false;
  while (!messageBegun && reader.next(line)) {
    if (line.starts_with("MAIL FROM:<")) {
      if (sendSender(line)) continue;
      return connection_.failed() ? TransactionResult::kFailed : TransactionResult::kSenderRefused;
    } else if (line.starts_with("RCPT TO:<")) {
      ++(sendRecipient(line) ? accepted : refused);
      if (connection_.failed()) return TransactionResult::kFailed;
    } else if (!line.starts_with("From ")) {
      messageBegun = true;
    }
  }
  if (file.failed()) return readFailure();
  // Without one accepted recipient there is nobody to send the text to: the recipients were
  // refused, and the notice says so.
  if (accepted == 0) return TransactionResult::kSenderRefused;
  connection_.send("DATA\r\n", SmtpClientError::kDataSend);
  if (!readReply(SmtpClientError::kDataReceive)) return TransactionResult::kFailed;
  if (!Begins(connection_.reply(), "354")) return TransactionResult::kDataRefused;
  bool endedLine = true;
  const auto send = [&](bool lineStart) {
    sendMessageLine(line, lineStart);
    endedLine = line.ends_with('\n');
  };
  if (messageBegun) send(true);
  while (!connection_.failed() && reader.next(line)) send(reader.lineStart());
  if (!endedLine) connection_.send("\r\n", SmtpClientError::kLineSend);  // a long last line
  if (connection_.failed()) return TransactionResult::kFailed;
  if (file.failed()) return readFailure();
  connection_.send(".\r\n", SmtpClientError::kEndSend);
  if (!readReply(SmtpClientError::kEndReceive)) return TransactionResult::kFailed;
  transactionOpen_ = false;
  if (!Begins(connection_.reply(), "250")) return TransactionResult::kEndRefused;
  onAccepted();
  // Any refused recipient, not only the last, gets the sender a notice.
  return refused > 0 ? TransactionResult::kSentWithRefusedRecipient : TransactionResult::kSent;
}

SmtpClientError ProviderSession::quit() {
  log("Отключение от сервера.\r\n");
  connection_.send("quit\r\n", SmtpClientError::kQuitSend);
  readReply(SmtpClientError::kQuitReceive);
  if (secure_) secure_->close();  // our close_notify, then the connection closes
  return error();
}

}  // namespace quelma::smtp_client
