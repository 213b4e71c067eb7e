// The provider session: connection, greeting, EHLO with ESMTP login or HELO, transactions
// with sender and header rewriting, the trace header and dot transparency, and quit.
#include "smtp_client/provider_session.h"

#include <variant>

#include "codec/base64.h"
#include "platform/text.h"
#include "smtp_client/queue_line_reader.h"
#include "smtp_client/sender_rewriting.h"
#include "smtp_client/smtp_authentication.h"
#include "smtp_client/upload_error.h"

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

// A queue file that cannot be read to its end is not sent; it stays for the next session.
UploadError ProviderSession::readFailure() {
  log("Не могу прочитать этот файл!!!\r\n");
  return UploadError{20};
}

void ProviderSession::connect() {
  if (!platform::InitSocketLibrary()) throw UploadError{1};
  std::optional<platform::Ipv4Address> address = platform::ParseDottedAddress(config_.SMTPServer);
  if (address) {
    log("Определение адреса не требуется\r\n");
  } else {
    log("Определяю IP адрес сервера \"" + config_.SMTPServer + "\"\r\n");
    address = platform::ResolveHost(config_.SMTPServer);
    if (!address) throw UploadError{2};
    log("Определен адрес: " + address->toString() + "\r\n");
  }
  connection_.open(*address, config_.SMTPSport, timeoutMs_);
}

void ProviderSession::greet() {
  if (!Begins(connection_.readReply(7), "220")) throw UploadError{8};
}

void ProviderSession::logIn() {
  connect();
  greet();
  if (config_.SMTP_USES_LOGIN) {
    log("Logging in to SMTP server\r\n");
    connection_.send("EHLO " + config_.LocalDomain + "\r\n", 9);
    if (!Begins(connection_.readReply(10), "250")) {
      log("Server does not support ESMTP\r\n");
    } else if (authenticate()) {
      log("Сервер готов к приему сообщений.\r\n");
      return;
    } else {
      log("Сервер не поддерживает методы аутентификации ESMTP\r\n");
    }
  }
  connection_.send("HELO " + config_.LocalDomain + "\r\n", 9);
  if (!Begins(connection_.readReply(10), "250")) throw UploadError{11};
  log("Сервер готов к приему сообщений.\r\n");
}

bool ProviderSession::authenticate() {
  switch (ChooseAuthMethod(connection_.reply())) {
    case AuthMethod::kCramMd5:
      log("AUTH CRAM-MD5\r\n");
      authCramMd5();
      return true;
    case AuthMethod::kPlain:
      log("AUTH PLAIN\r\n");
      authPlain();
      return true;
    case AuthMethod::kLogin:
      log("AUTH LOGIN\r\n");
      authLogin();
      return true;
    case AuthMethod::kNone:
      break;
  }
  return false;
}

// The last reply of every method: anything but 235 ends the upload, with the server's words
// in the log.
void ProviderSession::requireAccepted() {
  if (Begins(connection_.reply(), "235")) return;
  log("Сервер не принял имя или пароль и возвратил сообщение:\r\n");
  log(connection_.reply());
  throw UploadError{11};
}

void ProviderSession::authPlain() {
  connection_.send("AUTH PLAIN " + PlainCredentials(config_.SMTP_LOGIN_NAME, config_.SMTP_LOGIN_PASS) + "\r\n", 9);
  connection_.readReply(10);
  requireAccepted();
}

void ProviderSession::authLogin() {
  connection_.send("AUTH LOGIN\r\n", 9);
  if (!Begins(connection_.readReply(10), "334")) throw UploadError{11};
  connection_.send(codec::Base64Encode(config_.SMTP_LOGIN_NAME) + "\r\n", 9);
  if (!Begins(connection_.readReply(10), "334")) throw UploadError{11};
  connection_.send(codec::Base64Encode(config_.SMTP_LOGIN_PASS) + "\r\n", 9);
  connection_.readReply(10);
  requireAccepted();
}

void ProviderSession::authCramMd5() {
  connection_.send("AUTH CRAM-MD5\r\n", 9);
  if (!Begins(connection_.readReply(10), "334")) throw UploadError{10};
  const auto answer = CramMd5Answer(connection_.reply(), config_.SMTP_LOGIN_NAME, config_.SMTP_LOGIN_PASS);
  if (const int* error = std::get_if<int>(&answer)) throw UploadError{*error};
  connection_.send(std::get<std::string>(answer) + "\r\n", 9);
  connection_.readReply(10);
  requireAccepted();
}

// A transaction the server still holds open (its DATA was refused, or it got no recipient)
// would make the next MAIL a nested one: RSET closes it first. Its reply is not judged.
void ProviderSession::resetOpenTransaction() {
  if (!transactionOpen_) return;
  connection_.send("RSET\r\n", 12);
  connection_.readReply(13);
  transactionOpen_ = false;
}

bool ProviderSession::sendSender(const std::string& line) {
  const auto sender = ExtractSender(line);
  if (!sender) {
    log("Адрес отправителя длиннее 103 символов.\r\n");
    return false;
  }
  sender_ = RewriteSender(*sender, config_);
  const std::string command = "MAIL FROM:<" + sender_ + ">\r\n";
  connection_.send(command, 12);
  if (Begins(connection_.readReply(13), "25")) {
    transactionOpen_ = true;
    return true;
  }
  log("SMTP server refused to send message from given address:\r\n");
  log(command);
  log(connection_.reply());
  return false;
}

bool ProviderSession::sendRecipient(const std::string& line) {
  std::string command = line;
  EndWithCrLf(command);
  connection_.send(command, 14);
  if (Begins(connection_.readReply(13), "25")) return true;
  log("SMTP server refused to send message to given address:\r\n");
  log(command);
  log(connection_.reply());
  return false;
}

void ProviderSession::sendMessageLine(std::string& line) {
  if (!traceAdded_ && (line[0] == '\r' || line[0] == '\n')) {
    line = std::string(kTraceHeader) + "\r\n";
    traceAdded_ = true;
  }
  if (!traceAdded_) {
    if (line[0] == 'F' && !fromHandled_ && platform::StartsWithIgnoreAsciiCase(line, "From: ")) {
      line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
      fromHandled_ = true;
    } else if (line[0] == 'R' && !replyToHandled_ && platform::StartsWithIgnoreAsciiCase(line, "Reply-To: ")) {
      line = RewriteAddressHeader(line, sender_, config_.LocalDomain);
      replyToHandled_ = true;
    }
  }
  if (line[0] == '.') connection_.send(".", 19);
  EndWithCrLf(line);
  connection_.send(line, 20);
}

TransactionResult ProviderSession::sendQueueFile(platform::InputFile& file) {
  enum class Recipients { kNone, kAccepted, kRefused } recipients = Recipients::kNone;
  resetOpenTransaction();
  traceAdded_ = fromHandled_ = replyToHandled_ = false;
  if (!file.rewind()) throw UploadError{20};
  QueueLineReader reader(file);
  std::string line;
  bool messageBegun = false;
  while (!messageBegun && reader.next(line)) {
    if (line.starts_with("MAIL FROM:<")) {
      if (!sendSender(line)) return TransactionResult::kSenderRefused;
    } else if (line.starts_with("RCPT TO:<")) {
      recipients = sendRecipient(line) ? Recipients::kAccepted : Recipients::kRefused;
    } else if (!line.starts_with("From ")) {
      messageBegun = true;
    }
  }
  if (file.failed()) throw readFailure();
  if (recipients == Recipients::kNone) return TransactionResult::kSenderRefused;
  connection_.send("DATA\r\n", 16);
  if (!Begins(connection_.readReply(17), "354")) return TransactionResult::kDataRefused;
  if (messageBegun) sendMessageLine(line);
  while (reader.next(line)) sendMessageLine(line);
  // A message cut short by a read error must not reach the server as if whole: the end of
  // data is not sent, and the connection is dropped by the caller.
  if (file.failed()) throw readFailure();
  connection_.send(".\r\n", 21);
  connection_.readReply(22);
  transactionOpen_ = false;
  if (!Begins(connection_.reply(), "250")) return TransactionResult::kEndRefused;
  return recipients == Recipients::kRefused ? TransactionResult::kSentWithRefusedRecipient : TransactionResult::kSent;
}

void ProviderSession::quit() {
  log("Отключение от сервера.\r\n");
  connection_.send("quit\r\n", 23);
  connection_.readReply(24);
  connection_.close();
}

}  // namespace quelma::smtp_client
