// The POP3 client run: guard, leftovers, the connection, the session with the provider,
// collection into "mail.txt" and sorting, and the two ways of ending.
#include "pop3_client/pop3_client_run.h"

#include "net/plain_stream.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/files.h"
#include "platform/running_guard.h"
#include "pop3_client/pop3_client_error.h"
#include "pop3_client/pop3_client_session.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorting_thread.h"
#include "spool/download_files.h"
#include "spool/uid_ledger.h"

namespace quelma::pop3_client {
namespace {

class Run {
 public:
  explicit Run(const Pop3ClientContext& c) : c_(c) {}
  int run();

 private:
  void log(const std::string& text) { c_.log.LogPop3Client(text); }
  void status(const char* text) { c_.window.setStatusText(link::kPop3LabelPart, text); }
  void progress(int percent) { c_.window.setProgress(link::kPop3ProgressPart, percent); }
  Pop3ClientError connect();
  Pop3ClientError startImplicitTls();
  Pop3ClientError download();
  int fail(Pop3ClientError error);
  void sort();

  const Pop3ClientContext& c_;
  net::PlainStream stream_;
  net::TlsClient tls_{{c_.account.server, c_.config.TLS_CA_FILE, c_.account.fingerprint}};
  std::unique_ptr<net::ByteStream> secure_;  // TLS over stream_ from its first byte (tls=ssl)
  spool::UidLedger ledger_{c_.programDir, spool::AccountKey(c_.account.server, c_.account.login),
                          platform::DaysSinceEpoch((c_.clock ? *c_.clock : platform::SystemClock()).localTime())};
};

Pop3ClientError Run::connect() {
  const auto port = static_cast<std::uint16_t>(c_.account.port);
  switch (net::ConnectToServer(c_.account.server, port, c_.receiveTimeoutMs, stream_,
                               [this](const std::string& text) { log(text); })) {
    case net::ConnectFailure::kNone: return Pop3ClientError::kNone;
    case net::ConnectFailure::kLibrary: return Pop3ClientError::kSocketLibrary;
    case net::ConnectFailure::kResolve: return Pop3ClientError::kResolve;
    case net::ConnectFailure::kSocket: return Pop3ClientError::kSocket;
    case net::ConnectFailure::kSendTimeout: return Pop3ClientError::kSendTimeout;
    case net::ConnectFailure::kReceiveTimeout: return Pop3ClientError::kReceiveTimeout;
    case net::ConnectFailure::kConnect: break;
  }
  log("Не смог установить связь с POP3 сервером\r\n");
  return Pop3ClientError::kConnect;
}

Pop3ClientError Run::startImplicitTls() {
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(tls_, stream_, [this](const std::string& text) { log(text); }, failure);
  return TlsError(failure);
}

// Every file of downloaded mail that waits, each where its account delivers.
void Run::sort() { sorting::SortDownloadedMail({c_.config, c_.sorter, c_.log, c_.programDir, c_.clock}); }

// Connect and talk to the provider; the connection is closed when this returns.
Pop3ClientError Run::download() {
  const config::TlsMode mode = c_.account.tls;
  if (c_.account.auth != config::OauthMechanism::kNone && mode == config::TlsMode::kNone) {
    log("Вход по OAuth 2.0 возможен только через TLS: задайте для счета tls=ssl или tls=stls\r\n");
    return Pop3ClientError::kAuthInClear;
  }
  // The token is had before the connection, so the provider never waits for a slow identity
  // platform between its greeting and the login; the session takes it from there.
  if (c_.account.auth != config::OauthMechanism::kNone && (!c_.tokens || !c_.tokens->accessToken(false))) {
    return c_.tokens && !c_.tokens->loginNeeded() ? Pop3ClientError::kOauthToken : Pop3ClientError::kOauthLogin;
  }
  // Each download file is sorted as soon as it is stored, while the next ones come.
  sorting::SortingThread sorter({c_.config, c_.sorter, c_.log, c_.programDir, c_.clock});
  Pop3ClientError error = connect();
  if (error == Pop3ClientError::kNone && mode == config::TlsMode::kImplicit) error = startImplicitTls();
  if (error == Pop3ClientError::kNone) {
    net::ByteStream& stream = secure_ ? *secure_ : static_cast<net::ByteStream&>(stream_);
    Pop3ClientSession session(stream, c_.account, c_.programDir, c_.log, c_.window, &ledger_,
                              mode == config::TlsMode::kStartTls ? &tls_ : nullptr, c_.tokens);
    session.onTooLarge([this](const sorting::LeftAtProvider& message) { return sorting::WriteSizeNotice(c_.config, message); });
    const std::string key = spool::AccountKey(c_.account.server, c_.account.login);
    session.onStored([this, &sorter, &key](const std::string& path) {
      sorter.add({path, key});
      if (c_.stored) ++*c_.stored;
    });
    error = session.run();
  }
  if (secure_) secure_->close();
  secure_.reset();
  stream_.close();
  ledger_.settle(nullptr);  // before anything sorts what this session stored
  sorter.finish();
  return error;
}

// The download files written so far stay on disk and are sorted by the next run.
int Run::fail(Pop3ClientError error) {
  log("Ошибка " + std::to_string(ErrorNumber(error)) + ": работа POP3 клиента закончена\r\n");
  stream_.close();
  // Only the administrator can mend a missing or revoked authorisation: the status says so.
  status(error == Pop3ClientError::kOauthLogin ? "POP3: нужен вход OAuth" : "POP3 клиент ОШИБКА");
  progress(0);
  return ErrorNumber(error);
}

int Run::run() {
  auto guard = platform::RunningGuard::TryAcquire(kPop3ClientGuard);
  if (!guard) return 1;
  std::unique_lock<std::mutex> downloading(sorting::DownloadLock());  // push may be collecting
  auto end = [&](Pop3ClientError error) {
    const int code = error == Pop3ClientError::kNone ? 0 : fail(error);
    downloading.unlock();
    guard.reset();
    // Sent after success, posted after a failure: the main thread may be waiting for neither.
    if (code == 0) {
      c_.window.send(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
    } else {
      c_.window.post(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
    }
    return code;
  };
  log("*** Загрузка почты с POP3 сервера \"" + c_.account.server + "\"\r\n");
  if (auto marker = platform::OutputFile::Create(c_.config.MailDropDir + "pop3_download.runs",
                                                 platform::CreateMode::kTruncate)) {
    marker->close();
  }
  // Leftovers of an earlier run are delivered before anything new comes; the account's ledger
  // is settled first, so that it knows every message those leftovers hold.
  ledger_.load();
  sort();
  progress(0);
  status("POP3 клиент сеанс:");
  if (const auto e = download(); e != Pop3ClientError::kNone) return end(e);
  progress(100);
  status("POP3 сортировка...");
  sort();
  status("POP3 клиент успех");
  progress(0);
  return end(Pop3ClientError::kNone);
}

}  // namespace

int RunPop3Client(const Pop3ClientContext& context) {
  Run run(context);
  return run.run();
}

}  // namespace quelma::pop3_client
