// Compactions off the sessions' way: one thread compacts, one after another, the mailboxes
// that expunged messages; at the program's end every open mailbox is compacted, so that an
// older build never sees expunged mail again.
#pragma once

#include <memory>
#include <string>

#include "config/configuration.h"

namespace quelma::spool {

class Mailbox;

void CompactLater(std::shared_ptr<Mailbox> mailbox);

// Waits until every compaction asked for so far has been tried.
void WaitForCompactions();

// At the program's end, after the servers stopped: the compactions still to come and those of
// every open mailbox with expunged messages are done now; the thread ends.
void FinishCompactions();

// At start: every mailbox whose index still names expunged messages (the program ended before
// it compacted them) is opened, so that it is compacted.
void CompactLeftovers(const config::Configuration& config);

}  // namespace quelma::spool
