// The IMAP client run: guard, leftovers, the connection, the session with the provider, and
// the sorting of what came.
#include "imap_client/imap_client_run.h"

#include "imap_client/imap_client_session.h"
#include "imap_client/provider_connection.h"
#include "platform/files.h"
#include "platform/running_guard.h"
#include "sorting/size_notice.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorting_thread.h"

namespace quelma::imap_client {
namespace {

class Run {
 public:
  explicit Run(const ImapClientContext& c) : c_(c) {}
  int run();

 private:
  void log(const std::string& text) { c_.log.LogImapClient(text); }
  void status(const char* text) { c_.window.setStatusText(link::kPop3LabelPart, text); }
  void progress(int percent) { c_.window.setProgress(link::kPop3ProgressPart, percent); }
  void sort() {
    sorting::SortDownloadedMail({c_.config, c_.sorter, c_.log, c_.programDir, c_.clock, link::LogSource::kImapClient});
  }
  ImapClientError download();
  int end(ImapClientError error);

  const ImapClientContext& c_;
};

ImapClientError Run::download() {
  // Each download file is sorted as soon as it is stored, while the next ones come.
  sorting::SortingThread sorter({c_.config, c_.sorter, c_.log, c_.programDir, c_.clock, link::LogSource::kImapClient});
  ProviderConnection connection(c_.account, c_.config, c_.receiveTimeoutMs, c_.tokens,
                                [this](const std::string& text) { log(text); });
  if (const auto e = connection.open(); e != ImapClientError::kNone) return e;
  ImapClientSession session(connection.stream(), c_.account, c_.programDir, c_.log, Today(c_.clock),
                            connection.starttls(), c_.tokens);
  session.onTooLarge([this](const sorting::LeftAtProvider& message) { return sorting::WriteSizeNotice(c_.config, message); });
  session.onProgress([this](int percent) { progress(percent); });
  const std::string key = spool::AccountKey(c_.account.server, c_.account.login);
  session.onStored([this, &sorter, &key](const std::string& path) {
    sorter.add({path, key});
    if (c_.stored) ++*c_.stored;
  });
  const ImapClientError error = session.run();
  sorter.finish();
  return error;
}

// Sent after success, posted after a failure: the main thread may be waiting for neither.
int Run::end(ImapClientError error) {
  int code = 0;
  if (error != ImapClientError::kNone) {
    code = ErrorNumber(error);
    log("Ошибка " + std::to_string(code) + ": работа IMAP клиента закончена\r\n");
    status(error == ImapClientError::kOauthLogin ? "IMAP: нужен вход OAuth" : "IMAP клиент ОШИБКА");
    progress(0);
  }
  return code;
}

int Run::run() {
  auto guard = platform::RunningGuard::TryAcquire(kDownloadGuard);
  if (!guard) return 1;
  std::unique_lock<std::mutex> downloading(sorting::DownloadLock());  // push may be collecting
  log("*** Загрузка почты с IMAP сервера \"" + c_.account.server + "\"\r\n");
  // The same mark of a session's download as the POP3 client's: it goes with the last account.
  if (auto marker = platform::OutputFile::Create(c_.config.MailDropDir + "pop3_download.runs",
                                                 platform::CreateMode::kTruncate)) {
    marker->close();
  }
  // Leftovers of an earlier run are delivered before anything new comes.
  sort();
  progress(0);
  status("IMAP клиент сеанс:");
  const ImapClientError error = download();
  if (error == ImapClientError::kNone) {
    progress(100);
    status("IMAP сортировка...");
  }
  sort();  // what came whole is delivered whatever ended the session
  if (error == ImapClientError::kNone) {
    status("IMAP клиент успех");
    progress(0);
  }
  const int code = end(error);
  downloading.unlock();
  guard.reset();
  if (code == 0) {
    c_.window.send(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
  } else {
    c_.window.post(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
  }
  return code;
}

}  // namespace

int RunImapClient(const ImapClientContext& context) {
  Run run(context);
  return run.run();
}

}  // namespace quelma::imap_client
