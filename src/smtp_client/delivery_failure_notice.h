// The delivery-failure notice: a message in the postmaster's maildrop that carries the whole
// queue file of a message the provider refused.
#pragma once

#include <string>

#include "config/configuration.h"
#include "platform/files.h"

namespace quelma::smtp_client {

enum class NoticeReason {
  kRecipientsRefused = 1,
  kSomeRecipientsRefused = 4,
  kMessageRefused = 5,
};

// The notice up to the copy of the queue file: header, the empty line and the reason.
std::string FormatNoticeHead(const config::Configuration& config, NoticeReason reason);

// Appends the notice (a separator line with its unique id, the head, the queue file from its first
// byte) to the postmaster's maildrop, synced to disk, under the maildrop's lock. False when
// it could not be written; nothing of it is left in the maildrop then.
bool WriteDeliveryFailureNotice(const config::Configuration& config, NoticeReason reason,
                                platform::InputFile& queueFile);

}  // namespace quelma::smtp_client
