// The notices' common header and their one way into the postmaster's maildrop.
#include "spool/postmaster_notice.h"

#include "spool/delivery.h"
#include "spool/maildrop.h"

namespace quelma::spool {

std::string FormatNoticeHeader(const config::Configuration& config, std::string_view system, std::string_view subject) {
  std::string header = "From: \"" + config.LocalDomain + " " + std::string(system) + "\"\r\n";
  header += "To: \"Postmaster\"<" + config.PostMaster + "@" + config.LocalDomain + ">\r\n";
  header += "Subject: " + std::string(subject) + "\r\n";
  header += "Content-Type: text/plain; charset=Windows-1251\r\n\r\n";
  return header;
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
