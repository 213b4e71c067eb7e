// The program's own notices to the postmaster (a message the provider refused, a message too
// large to download): their header, and their append to the postmaster's maildrop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "spool/maildrop_text.h"

namespace quelma::spool {

// What makes a notice a message of its own for mail programs: when it was written (seconds
// since 1970) and its Message-ID.
struct NoticeStamp {
  std::int64_t time = 0;
  std::string messageId;  // "<...@LocalDomain>"
};
NoticeStamp NewNoticeStamp(const config::Configuration& config);

// From `system` of LocalDomain ("SMTP MAIL DELIVERY SYSTEM", MAILER-DAEMON@LocalDomain) to the
// postmaster, with the subject, the date and Message-ID of `stamp` (a new one without it),
// MIME plain text in Windows-1251; the empty line that ends the header included.
std::string FormatNoticeHeader(const config::Configuration& config, std::string_view system, std::string_view subject,
                               const NoticeStamp& stamp);
std::string FormatNoticeHeader(const config::Configuration& config, std::string_view system, std::string_view subject);

// Appends a notice (its own separator line, `text`, then what `writeMore` writes) to the
// postmaster's maildrop under the maildrop's lock, with the intent recorded, and syncs it.
// False when it could not be written; nothing of it is left in the maildrop then.
bool WritePostmasterNotice(const config::Configuration& config, std::string_view text,
                           const std::function<bool(MaildropTextWriter&)>& writeMore = {});

}  // namespace quelma::spool
