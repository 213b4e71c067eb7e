// The queue upload: guard and marker file, the two listings, one transaction per queue file
// with its repetitions, the notices, deletion, progress, and the two ways of ending.
#include "smtp_client/queue_upload.h"

#include <algorithm>
#include <optional>
#include <string>

#include "net/plain_stream.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/files.h"
#include "platform/running_guard.h"
#include "platform/text.h"
#include "smtp_client/delivery_failure_notice.h"
#include "smtp_client/provider_session.h"
#include "smtp_client/sender_rewriting.h"
#include "smtp_client/smtp_client_error.h"
#include "spool/queue_file.h"

namespace quelma::smtp_client {
namespace {

// A message the provider refused at DATA or at its end is sent this many times more.
constexpr int kRepetitions = 3;

constexpr char kStarting[] = "*** Отправка исходящих сообщений по SMTP\r\n";
constexpr char kNothingToSend[] = "Нет сообщений для отправки\r\n";
constexpr char kSuccess[] = "SMTP клиент успех";
constexpr char kFailure[] = "SMTP клиент ОШИБКА";
constexpr char kLoginNeeded[] = "SMTP: нужен вход OAuth";

class Upload {
 public:
  explicit Upload(const QueueUploadContext& c) : c_(c), markerPath_(c.config.MailDropDir + "smtp_upload.runs") {}
  int run();

 private:
  void log(std::string_view text) { c_.log.LogSmtpClient(text); }
  int end(SmtpClientError error);
  SmtpClientError connect();
  SmtpClientError logIn();
  // Whether the file is done with (sent, or refused with its notice written); a fatal fault
  // goes to `error`.
  bool process(const std::string& name, SmtpClientError& error);
  bool sendWithRepetitions(const std::string& name, const QueuedMessage& message, SmtpClientError& error);
  bool notify(NoticeReason reason, const std::vector<std::string>& refusals);

  const QueueUploadContext& c_;
  std::string markerPath_;
  net::PlainStream stream_;
  net::TlsClient tls_{{c_.config.SMTPServer, c_.config.TLS_CA_FILE, c_.config.SMTP_TLS_FINGERPRINT}};
  std::unique_ptr<net::ByteStream> secure_;  // TLS over stream_ from its first byte (SMTP_TLS = SSL)
  std::optional<ProviderSession> session_;  // once connected
  std::optional<platform::RunningGuard> guard_;
  std::optional<platform::InputFile> file_;
};

// The end of an empty or failed upload; a failure leaves the current queue file in place.
int Upload::end(SmtpClientError error) {
  file_.reset();
  if (error != SmtpClientError::kNone) {
    log("Error number " + std::to_string(ErrorNumber(error)) + "\r\n");
    log("Ошибка: работа SMTP клиента окончена.\r\n");
  } else {
    log("Заканчиваю работу SMTP клиента.\r\n");
  }
  if (secure_) secure_->close();
  stream_.close();
  platform::RemoveFile(markerPath_);
  c_.window.setProgress(link::kSmtpProgressPart, 0);
  // Only the administrator can mend a missing or revoked authorisation: the status says so.
  c_.window.setStatusText(link::kSmtpLabelPart, error == SmtpClientError::kOauthLogin ? kLoginNeeded
                                                : error != SmtpClientError::kNone     ? kFailure
                                                                                      : kSuccess);
  guard_.reset();
  c_.window.post(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kSmtpClient), 0);
  return ErrorNumber(error);
}

SmtpClientError Upload::connect() {
  switch (net::ConnectToServer(c_.config.SMTPServer, c_.config.SMTPSport, c_.timeoutMs, stream_,
                               [this](const std::string& text) { log(text); })) {
    case net::ConnectFailure::kNone: return SmtpClientError::kNone;
    case net::ConnectFailure::kLibrary: return SmtpClientError::kSocketLibrary;
    case net::ConnectFailure::kResolve: return SmtpClientError::kResolve;
    case net::ConnectFailure::kSocket: return SmtpClientError::kSocket;
    case net::ConnectFailure::kSendTimeout: return SmtpClientError::kSendTimeout;
    case net::ConnectFailure::kReceiveTimeout: return SmtpClientError::kReceiveTimeout;
    case net::ConnectFailure::kConnect: break;
  }
  return SmtpClientError::kConnect;
}

// One connection for the whole queue, made when the first message is to go.
SmtpClientError Upload::logIn() {
  if (session_) return SmtpClientError::kNone;
  if (c_.config.SMTP_AUTH != config::OauthMechanism::kNone && c_.config.SMTP_TLS == config::TlsMode::kNone) {
    log("Вход по OAuth 2.0 возможен только через TLS: задайте SMTP_TLS = SSL или STARTTLS\r\n");
    return SmtpClientError::kAuthInClear;
  }
  // The token is had before the connection, so the provider never waits for a slow identity
  // platform between its greeting and the login; the session takes it from there.
  if (c_.config.SMTP_AUTH != config::OauthMechanism::kNone && (!c_.tokens || !c_.tokens->accessToken(false))) {
    return c_.tokens && !c_.tokens->loginNeeded() ? SmtpClientError::kOauthToken : SmtpClientError::kOauthLogin;
  }
  if (const SmtpClientError e = connect(); e != SmtpClientError::kNone) return e;
  if (c_.config.SMTP_TLS == config::TlsMode::kImplicit) {
    net::TlsFailure failure = net::TlsFailure::kNone;
    secure_ = net::StartClientTls(tls_, stream_, [this](const std::string& text) { log(text); }, failure);
    if (!secure_) return TlsError(failure);
  }
  session_.emplace(secure_ ? *secure_ : static_cast<net::ByteStream&>(stream_), c_.config, c_.log,
                   c_.config.SMTP_TLS == config::TlsMode::kStartTls ? &tls_ : nullptr, c_.tokens);
  return session_->logIn();
}

// A refused message goes only once its notice is safely in the postmaster's maildrop.
bool Upload::notify(NoticeReason reason, const std::vector<std::string>& refusals) {
  if (WriteDeliveryFailureNotice(c_.config, reason, refusals, *file_)) return true;
  log("Не могу записать уведомление в почтовый ящик \"" + c_.config.PostMaster + "\" (" +
      platform::LastFileErrorText() + ")\r\n");
  if (reason == NoticeReason::kSomeRecipientsRefused) return true;  // it was sent: again would duplicate it
  log("Сообщение остается в очереди до следующего сеанса.\r\n");
  return false;
}

// The provider's 250 for the end of the text marks the queue file sent before anything else
// happens: from then on it is never sent again, whatever stops the upload.
bool Upload::sendWithRepetitions(const std::string& name, const QueuedMessage& message, SmtpClientError& error) {
  const auto markSent = [&] {
    if (!spool::MarkQueueFileSent(c_.config.QueueDir, name)) {
      log("Не могу отметить это сообщение как отправленное!!! (" + c_.config.QueueDir + name + ": " +
          platform::LastFileErrorText() + ")\r\n");
    }
  };
  for (int attempts = 1;; ++attempts) {
    switch (session_->sendQueueFile(*file_, message, markSent)) {
      case TransactionResult::kFailed:
        error = session_->error();
        return false;
      case TransactionResult::kSent:
        log("Сообщение отправлено.\r\n");
        return true;
      case TransactionResult::kSenderRefused:
        log("Сервер не принял email адрес(а) получателей - Сообщение не отправлено.\r\n");
        return notify(NoticeReason::kRecipientsRefused, session_->refusals());
      case TransactionResult::kSentWithRefusedRecipient:
        log("Сообщение отправлено, но один или более адресов неправильны.\r\n");
        return notify(NoticeReason::kSomeRecipientsRefused, session_->refusals());
      case TransactionResult::kDataRefused:
        if (attempts > kRepetitions) break;
        log("Сервер отказался принимать тело сообщения. Повторяю попытку.\r\n");
        continue;
      case TransactionResult::kEndRefused:
        if (attempts > kRepetitions) break;
        log("Сервер не подтвердил получение сообщения. Повторяю попытку.\r\n");
        continue;
    }
    log("Превышено количество попыток.\r\n");
    return notify(NoticeReason::kMessageRefused, session_->refusals());
  }
}

bool Upload::process(const std::string& name, SmtpClientError& error) {
  log("Обрабатываю сообщение: " + name + "\r\n");
  if (spool::IsQueueFileSent(c_.config.QueueDir, name)) {
    log("Это сообщение уже отправлено.\r\n");
    return true;
  }
  file_ = platform::InputFile::Open(c_.config.QueueDir + name);
  if (!file_) {  // kept for the next session: a file that cannot be opened now may be later
    log("Не могу открыть этот файл!!!\r\n");
    return false;
  }
  // The envelope is read here once, and the sender rewritten once, for the log and the session.
  QueuedMessage message;
  const spool::QueueFileKind kind = spool::ReadQueueEnvelope(*file_, message.envelope);
  if (file_->failed()) {  // a read error is no reason to take the message for empty
    log("Не могу прочитать этот файл!!!\r\n");
    return false;
  }
  if (kind == spool::QueueFileKind::kEmpty) return true;
  if (kind == spool::QueueFileKind::kNotAMessage) {
    log("Этот файл не является email сообщением!\r\n");
    return true;
  }
  if (message.envelope.sender.size() > kMaxSender) {
    log("Адрес отправителя длиннее " + std::to_string(kMaxSender) + " символов - сообщение не отправлено.\r\n");
    return notify(NoticeReason::kRecipientsRefused, {});
  }
  message.sender = RewriteSender(message.envelope.sender, c_.config);
  log("Сообщение от: " + message.sender + "\r\n");
  if (error = logIn(); error != SmtpClientError::kNone) return false;
  return sendWithRepetitions(name, message, error);
}

int Upload::run() {
  guard_ = platform::RunningGuard::TryAcquire(kSmtpClientGuard);
  if (!guard_) return 1;
  if (auto marker = platform::OutputFile::Create(markerPath_, platform::CreateMode::kTruncate)) marker->close();
  spool::RemoveStaleSentMarks(c_.config.QueueDir);
  log(kStarting);
  const std::size_t count = spool::ListQueueFiles(c_.config.QueueDir).size();
  if (count == 0) {
    log(kNothingToSend);
    return end(SmtpClientError::kNone);
  }
  log(kStarting);
  const auto names = spool::ListQueueFiles(c_.config.QueueDir);
  if (names.empty()) {
    log(kNothingToSend);
    return end(SmtpClientError::kNone);
  }
  c_.window.setProgress(link::kSmtpProgressPart, 0);
  c_.window.setStatusText(link::kSmtpLabelPart, "SMTP сеанс:");
  std::size_t handled = 0;
  for (const auto& name : names) {
    SmtpClientError error = SmtpClientError::kNone;
    const bool done = process(name, error);
    if (error != SmtpClientError::kNone) return end(error);
    ++handled;
    c_.window.setProgress(link::kSmtpProgressPart, static_cast<int>(std::min<std::size_t>(handled * 100 / count, 100)));
    file_.reset();
    if (done && !spool::RemoveSentQueueFile(c_.config.QueueDir, name)) log("Не могу удалить этот файл!!!\r\n");
    if (done && c_.handled) ++*c_.handled;
  }
  if (session_) {
    if (const SmtpClientError e = session_->quit(); e != SmtpClientError::kNone) return end(e);
    stream_.close();
  }
  platform::RemoveFile(markerPath_);
  c_.window.setProgress(link::kSmtpProgressPart, 0);
  c_.window.setStatusText(link::kSmtpLabelPart, kSuccess);
  guard_.reset();
  c_.window.send(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kSmtpClient), 0);
  return 0;
}

}  // namespace

int RunQueueUpload(const QueueUploadContext& context) {
  Upload upload(context);
  return upload.run();
}

}  // namespace quelma::smtp_client
