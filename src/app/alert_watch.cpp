// The checks gather their facts here (the disk, the certificates, the queue, the board), the
// alert book decides, and each alert goes to the postmaster, the log and the tray.
#include "app/alert_watch.h"

#include "app/alert_conditions.h"
#include "codec/encoded_words.h"
#include "dialup/scheduler.h"
#include "net/certificate_ends.h"
#include "net/tls.h"
#include "platform/disk_space.h"
#include "platform/files.h"
#include "spool/postmaster_notice.h"
#include "spool/queue_file.h"

namespace quelma::app {
namespace {

constexpr std::int64_t kCertificateRereadSeconds = 3600;

std::string FirstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

bool NamesProviderHost(const config::Configuration& config, const std::string& host) {
  if (config.SMTPServer == host) return true;
  for (const config::ProviderAccount& account : config.accounts) {
    if (account.server == host) return true;
  }
  return false;
}

}  // namespace

std::int64_t UtcOffsetSeconds(platform::Clock& clock, std::int64_t now) {
  const platform::LocalTime t = clock.localTime();
  const std::int64_t local = static_cast<std::int64_t>(platform::DaysSinceEpoch(t)) * 86400 + t.hour * 3600 +
                             t.minute * 60 + t.second;
  const std::int64_t offset = local - now;
  return (offset + (offset >= 0 ? 450 : -450)) / 900 * 900;  // zones lie on quarter hours
}

AlertWatch::AlertWatch(AlertWatchContext context)
    : c_(std::move(context)), book_(c_.board.snapshot().alerts) {}

void AlertWatch::tick() {
  const std::int64_t now = c_.now();
  const bool sessionEnded = c_.board.sessionsRecorded() != sessionsSeen_;
  if (!sessionEnded && lastCheck_ && now - *lastCheck_ < c_.intervalSeconds && now >= *lastCheck_) return;
  check();
}

void AlertWatch::check() {
  const std::int64_t now = c_.now();
  lastCheck_ = now;
  sessionsSeen_ = c_.board.sessionsRecorded();
  const auto config = c_.store.current();
  if (config != followed_) {
    c_.board.followSettings(*config);
    followed_ = config;
  }
  if (c_.push) c_.board.pushConnections(c_.push());
  const auto minutes = dialup::MinutesToNextSession(config->SchedulerRecord, dialup::GetClockForSchedule(c_.clock));
  c_.board.nextSession(minutes ? now - now % 60 + static_cast<std::int64_t>(*minutes) * 60 : 0);
  review(*config, now);
}

void AlertWatch::review(const config::Configuration& config, std::int64_t now) {
  AlertFacts facts;
  facts.now = now;
  facts.utcOffset = UtcOffsetSeconds(c_.clock, now);
  facts.places = {{"почтовые ящики (" + config.MailDropDir + ")", platform::FreeDiskBytes(config.MailDropDir)},
                  {"очередь (" + config.QueueDir + ")", platform::FreeDiskBytes(config.QueueDir)},
                  {"папка программы (" + c_.programDir + ")", platform::FreeDiskBytes(c_.programDir)}};
  facts.board = c_.board.snapshot();
  facts.localCertificateEnd = localCertificateEnd(config, now);
  facts.providerCertificateEnds = net::ProviderCertificateEnds();
  for (const std::string& name : spool::ListQueueFiles(config.QueueDir)) {
    const auto written = platform::FileModifiedSeconds(config.QueueDir + name);
    if (!written) continue;  // sent meanwhile
    ++facts.queueMessages;
    if (facts.queueOldest == 0 || *written < facts.queueOldest) facts.queueOldest = *written;
  }
  facts.recovered = std::move(c_.recovered);
  c_.recovered.clear();
  keepReserve(config);

  // A provider's certificate is known only once this program has connected to it: until
  // then its open alert stands as it is.
  std::vector<std::string> unchecked;
  for (const status::OpenAlert& open : book_.open()) {
    constexpr std::string_view kCertificate = "certificate ";
    if (!open.condition.starts_with(kCertificate) || open.condition == "certificate local") continue;
    const std::string host = open.condition.substr(kCertificate.size());
    if (!facts.providerCertificateEnds.contains(host) && NamesProviderHost(config, host)) unchecked.push_back(open.condition);
  }
  for (const status::AlertStep& step : book_.review(CurrentAlertConditions(config, facts), now, unchecked)) {
    if (step.kind == status::AlertStep::Kind::kCleared) {
      c_.log.LogSystem("Предупреждение снято, все в порядке: " + step.subject + "\r\n");
      undelivered_.erase(step.key);
      if (step.told) {
        deliver(config, "исправлено: " + step.subject,
                "Больше не актуально (было с " + AlertTime(step.since, facts.utcOffset) + "):\r\n" + step.text);
      }
      continue;
    }
    if (step.first) {
      c_.log.LogSystem("Предупреждение постмастеру: " + step.subject + ". " + FirstLine(step.text) + "\r\n");
      if (c_.notify) c_.notify("Quelmar: " + step.subject, FirstLine(step.text));
    }
    if (deliver(config, step.subject, step.text)) {
      book_.told(step.key, now);
      undelivered_.erase(step.key);
    } else if (undelivered_.insert(step.key).second) {
      c_.log.LogSystem("Не удалось положить предупреждение в ящик постмастера (" + config.PostMaster +
                       "): попробую снова через минуту\r\n");
    }
  }
  c_.board.alerts(book_.open());
}

bool AlertWatch::deliver(const config::Configuration& config, const std::string& subject, const std::string& text) {
  const std::string header = spool::FormatNoticeHeader(config, "Quelmar Mail Server",
                                                       "[Quelmar] " + codec::EncodeHeaderValue(subject));
  if (spool::WritePostmasterNotice(config, header + text)) return true;
  // The disk may be full: the space kept for this is given up, and the message tried again.
  const std::string reserve = config.MailDropDir + kAlertReserveFile;
  if (!platform::FileExists(reserve) || !platform::RemoveFile(reserve)) return false;
  const bool written = spool::WritePostmasterNotice(config, header + text);
  keepReserve(config);
  return written;
}

bool AlertWatch::keepReserve(const config::Configuration& config) {
  const std::string path = config.MailDropDir + kAlertReserveFile;
  if (const auto size = platform::FileSize(path); size && *size == kAlertReserveBytes) return true;
  auto out = platform::OutputFile::Create(path, platform::CreateMode::kTruncate);
  bool made = static_cast<bool>(out);
  const std::string zeros(64 * 1024, '\0');
  for (std::uint64_t at = 0; made && at < kAlertReserveBytes; at += zeros.size()) {
    made = out->write(zeros);
  }
  made = made && out->sync() && out->close();
  if (!made) {
    out.reset();
    platform::RemoveFile(path);  // a part of it is no reserve, and takes space the mail needs
  }
  return made;
}

std::optional<std::int64_t> AlertWatch::localCertificateEnd(const config::Configuration& config, std::int64_t now) {
  if (config.TLS_CERT_FILE.empty()) return std::nullopt;
  if (config.TLS_CERT_FILE == certificateFile_ && now - certificateReadAt_ < kCertificateRereadSeconds &&
      now >= certificateReadAt_) {
    return certificateEnd_;
  }
  certificateFile_ = config.TLS_CERT_FILE;
  certificateReadAt_ = now;
  net::CredentialsError error;
  const auto credentials = net::TlsServerCredentials::Load(config.TLS_CERT_FILE, config.TLS_KEY_FILE, error);
  certificateEnd_ = credentials ? net::CertificateTimeSeconds(credentials->notAfter()) : std::nullopt;
  return certificateEnd_;
}

}  // namespace quelma::app
