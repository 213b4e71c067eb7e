// The notices' common header and their one way into the postmaster's maildrop.
#include "spool/postmaster_notice.h"

#include <ctime>

#include "mime/mail_date.h"
#include "platform/unique_tick.h"
#include "spool/delivery.h"
#include "spool/maildrop.h"

namespace quelma::spool {

namespace {

// A domain for the addresses the notice is written with: LocalDomain, or "localhost" where
// there is none.
std::string NoticeDomain(const config::Configuration& config) {
  return config.LocalDomain.empty() ? std::string("localhost") : config.LocalDomain;
}

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return out;
}

}  // namespace

NoticeStamp NewNoticeStamp(const config::Configuration& config) {
  NoticeStamp stamp;
  stamp.time = static_cast<std::int64_t>(std::time(nullptr));
  stamp.messageId = "<" + Hex(static_cast<std::uint64_t>(stamp.time)) + "." +
                    Hex(platform::ProcessUniqueTicks().next()) + ".notice@" + NoticeDomain(config) + ">";
  return stamp;
}

std::string FormatNoticeHeader(const config::Configuration& config, std::string_view system, std::string_view subject,
                               const NoticeStamp& stamp) {
  const std::string domain = NoticeDomain(config);
  std::string header = "From: \"" + config.LocalDomain + " " + std::string(system) + "\" <MAILER-DAEMON@" + domain + ">\r\n";
  header += "To: \"Postmaster\"<" + config.PostMaster + "@" + config.LocalDomain + ">\r\n";
  header += "Subject: " + std::string(subject) + "\r\n";
  header += "Date: " + mime::FormatMailDate(stamp.time) + "\r\n";
  header += "Message-ID: " + stamp.messageId + "\r\n";
  header += "MIME-Version: 1.0\r\n";
  header += "Content-Type: text/plain; charset=Windows-1251\r\n";
  header += "Content-Transfer-Encoding: 8bit\r\n\r\n";
  return header;
}

std::string FormatNoticeHeader(const config::Configuration& config, std::string_view system, std::string_view subject) {
  return FormatNoticeHeader(config, system, subject, NewNoticeStamp(config));
}

bool WritePostmasterNotice(const config::Configuration& config, std::string_view text,
                           const std::function<bool(MaildropTextWriter&)>& writeMore) {
  const std::string path = MaildropPath(config, config.PostMaster);
  Delivery delivery(config);
  if (!delivery.willAppend({path})) return false;
  const auto result = AppendToMaildropWith(
      path, NewSeparatorLine(),
      [&](MaildropTextWriter& out) { return out.write(text) && (!writeMore || writeMore(out)); }, false);
  return result == AppendResult::kAppended && delivery.commit().has_value();
}

}  // namespace quelma::spool
