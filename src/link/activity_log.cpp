// Formatting and handing over log lines; each line is built in its own buffer.
#include "link/activity_log.h"

namespace quelma::link {
namespace {

std::string TwoDigits(int v) { return v >= 0 && v < 10 ? "0" + std::to_string(v) : std::to_string(v); }

thread_local std::uint64_t tSessionNumber = 0;  // 0: not in a session

}  // namespace

SessionLabel::SessionLabel(std::uint64_t number) : previous_(tSessionNumber) { tSessionNumber = number; }
SessionLabel::~SessionLabel() { tSessionNumber = previous_; }

std::string_view LogTag(LogSource source) {
  switch (source) {
    case LogSource::kPop3Srv: return "POP3SRV";
    case LogSource::kSmtpSrv: return "SMTPSRV";
    case LogSource::kPop3Client: return "POP3CLIENT";
    case LogSource::kSmtpClient: return "SMTPCLIENT";
    case LogSource::kDialer: return "DIALER";
    case LogSource::kImapSrv: return "IMAPSRV";
    case LogSource::kImapClient: return "IMAPCLIENT";
    case LogSource::kSystem: return "SYSTEM";
  }
  return "";
}

Rgb LogColour(LogSource source) {
  switch (source) {
    case LogSource::kPop3Srv: return {0, 0, 191};
    case LogSource::kSmtpSrv: return {0, 79, 0};
    case LogSource::kPop3Client: return {127, 0, 127};
    case LogSource::kSmtpClient: return {127, 0, 0};
    case LogSource::kDialer: return {0, 0, 0};
    case LogSource::kImapSrv: return {0, 95, 127};
    case LogSource::kImapClient: return {127, 0, 95};
    case LogSource::kSystem: return {95, 95, 0};
  }
  return {0, 0, 0};
}

std::string FormatLogDate(const platform::LocalTime& t) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string_view month = (t.month >= 1 && t.month <= 12) ? kMonths[t.month - 1] : "???";
  return TwoDigits(t.day) + " " + std::string(month) + " " + std::to_string(t.year);
}

std::string FormatLogTime(const platform::LocalTime& t) {
  return TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
}

bool ActivityLog::muted(LogSource source) const {
  switch (source) {
    case LogSource::kSmtpSrv: return control_.smtpSrv.stopRequest.load();
    case LogSource::kImapSrv: return control_.imapSrv.stopRequest.load();
    case LogSource::kDialer: return false;
    default: return control_.pop3Srv.stopRequest.load();
  }
}

void ActivityLog::write(LogSource source, std::string_view text) {
  const std::string date = FormatLogDate(clock_.localTime());
  const std::string time = FormatLogTime(clock_.localTime());
  if (muted(source)) return;
  std::string line = date + " " + time + " " + std::string(LogTag(source)) + "> ";
  if (tSessionNumber != 0) line += "[" + std::to_string(tSessionNumber) + "] ";
  line += text;
  if (source == LogSource::kDialer) line += "\r\n";
  window_.send(UM_LOG_LINE, static_cast<std::uintptr_t>(source), reinterpret_cast<std::intptr_t>(&line));
}

}  // namespace quelma::link
