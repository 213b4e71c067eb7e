// The session chain: start, dialer, clients, one account after another, and the hang-up.
#include "app/session_control.h"

#include "app/own_server.h"
#include "platform/files.h"
#include "spool/delivery.h"
#include "spool/maildrop.h"

namespace quelma::app {

// Mail for the daemon user asks for a session; the message itself is not kept. Mail that
// cannot be removed asks once, with a log line: the same file asks no more.
bool SessionControl::takeDaemonMail(const config::Configuration& config) {
  const std::string path = spool::MaildropPath(config, config.Daemon);
  std::string reason;
  {
    // Only tried: a delivery may be waiting for this thread to show its log line.
    std::unique_lock<std::timed_mutex> between(spool::MaildropDeliveryLock(path), std::try_to_lock);
    if (!between.owns_lock()) return false;
    std::lock_guard<std::mutex> hold(spool::MaildropLock(path));
    const bool there = platform::InputFile::Open(path).has_value();  // a directory (empty name) never opens
    if (!there || platform::RemoveFile(path)) {
      keptDaemonMail_.reset();
      return there;
    }
    reason = platform::LastFileErrorText();
    const std::uint64_t size = platform::FileSize(path).value_or(0);
    if (keptDaemonMail_ == size) return false;  // it has had its session
    keptDaemonMail_ = size;
  }
  c_.log.LogSmtpSrv("Не могу удалить почту для " + config.Daemon + " \"" + path + "\" (" + reason +
                    "): она остается, сеанс связи запускается один раз\r\n");
  return true;
}

void SessionControl::tick() {
  const auto config = c_.store.current();
  const dialup::ScheduleMinute now = dialup::GetClockForSchedule(c_.clock);
  if (takeDaemonMail(*config) || dialup::IsSessionDue(config->SchedulerRecord, lastTrigger_, now)) {
    startSession();
    lastTrigger_ = now;
  }
}

void SessionControl::startSession() {
  if (!settingsDialogOpen && c_.reloadConfiguration) c_.reloadConfiguration();
  session_ = c_.store.current();
  spool::MakeSpoolDirectories(*session_);  // the settings may name new directories
  sessionDoneMask_ = 0;
  if (session_->UseLAN) {
    startClients();
    return;
  }
  if (dialerRunning_) return;
  c_.dialer.dialAbortRequest = 0;
  dialerRunning_ = true;
  c_.workers.startDialer(session_);
}

void SessionControl::connected() {
  if (session_) startClients();
}

void SessionControl::startClients() {
  c_.workers.startSmtpClient(session_);
  currentAccountIndex_ = 0;
  startPop3Client();
}

void SessionControl::startPop3Client() {
  if (session_->accounts.empty()) {
    c_.log.LogPop3Client("Нет учетных записей POP3: загрузка почты пропущена.\r\n");
    accountDone();
    return;
  }
  // The default account names our own POP3 server: its mail would be taken out and sorted back.
  while (currentAccountIndex_ < session_->accounts.size() &&
         NamesOwnServer(*session_, session_->accounts[currentAccountIndex_])) {
    const config::ProviderAccount& account = session_->accounts[currentAccountIndex_];
    const bool imap = account.proto == config::CollectProtocol::kImap;
    const std::string text = AccountTitle(currentAccountIndex_, account) + " указывает на " + (imap ? "IMAP" : "POP3") +
                             " сервер этой программы, а не провайдера: не загружается. "
                             "Задайте в нем сервер провайдера.\r\n";
    imap ? c_.log.LogImapClient(text) : c_.log.LogPop3Client(text);
    ++currentAccountIndex_;
  }
  if (currentAccountIndex_ >= session_->accounts.size()) {
    accountDone();
    return;
  }
  c_.workers.startPop3Client(session_, currentAccountIndex_);
}

// The last account is through: the download marker goes, and half of a dial-up session is done.
void SessionControl::accountDone() {
  platform::RemoveFile(session_->MailDropDir + "pop3_download.runs");
  if (!session_->UseLAN) sessionDoneMask_ |= kPop3ClientDone;
}

void SessionControl::workerDone(link::WorkerId worker) {
  if (!session_) return;
  switch (worker) {
    case link::WorkerId::kPop3Client:
      if (++currentAccountIndex_ < session_->accounts.size()) {
        startPop3Client();
      } else {
        accountDone();
      }
      break;
    case link::WorkerId::kSmtpClient:
      if (!session_->UseLAN) sessionDoneMask_ |= kSmtpClientDone;
      break;
    case link::WorkerId::kDialer:
      dialerRunning_ = false;
      break;
  }
  endIfDone();
}

void SessionControl::endIfDone() {
  if (session_->UseLAN || sessionDoneMask_ != (kPop3ClientDone | kSmtpClientDone)) return;
  dialup::HangUpAtSessionEnd(*session_, c_.access, c_.dialer);
}

void SessionControl::breakConnection() { dialup::BreakConnection(c_.access, c_.dialer); }

}  // namespace quelma::app
