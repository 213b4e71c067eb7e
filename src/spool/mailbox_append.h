// New messages a session puts into a mailbox (APPEND's message, the copies of COPY and
// MOVE): all of them in one delivery, on disk before the UIDs they got are given back, each
// with the flags, keywords and arrival time it is to have.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "spool/mailbox.h"
#include "spool/maildrop_text.h"

namespace quelma::spool {

struct NewMessage {
  // Writes the text through the maildrop's writer; false when a read or a write failed.
  std::function<bool(MaildropTextWriter&)> write;
  Mailbox::Arrival arrival;
};

struct AppendedMessages {
  std::uint32_t uidValidity = 0;
  std::vector<std::uint32_t> uids;  // in the order given
};

// Appends the messages to `target` in one delivery (all or none); their UIDs once the index
// took them in. Nothing, with the file and the reason in `problem`, when it failed.
std::optional<AppendedMessages> AppendMessages(const config::Configuration& config, Mailbox& target,
                                               const std::vector<NewMessage>& messages, std::string& problem);

}  // namespace quelma::spool
