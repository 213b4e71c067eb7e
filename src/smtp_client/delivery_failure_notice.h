// The delivery-failure notice: a message in the postmaster's maildrop that carries the whole
// queue file of a message the provider refused.
#pragma once

#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/files.h"
#include "spool/postmaster_notice.h"

namespace quelma::smtp_client {

enum class NoticeReason {
  kRecipientsRefused = 1,
  kSomeRecipientsRefused = 4,
  kMessageRefused = 5,
};

// The notice up to the copy of the queue file: header, the empty line, the reason and the
// provider's refusals as it answered them (each "what was sent" line, then its reply).
std::string FormatNoticeHead(const config::Configuration& config, NoticeReason reason,
                             const std::vector<std::string>& refusals, const spool::NoticeStamp& stamp);

// Appends the notice (a separator line with its unique id, the head, the queue file from its first
// byte) to the postmaster's maildrop, synced to disk, under the maildrop's lock. False when
// it could not be written; nothing of it is left in the maildrop then.
bool WriteDeliveryFailureNotice(const config::Configuration& config, NoticeReason reason,
                                const std::vector<std::string>& refusals, platform::InputFile& queueFile);

}  // namespace quelma::smtp_client
