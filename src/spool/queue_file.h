// The outgoing queue file: its name, its envelope lines, and how a reader takes it apart.
// Written by the SMTP intake and the sorter's relay, read by the SMTP client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/line_limits.h"
#include "platform/files.h"

namespace quelma::spool {

inline constexpr std::size_t kMaxQueueLine = net::kMaxSmtpLine;  // what a reader takes as one line

// Eight upper-case hexadecimal digits of the tick.
std::string QueueFileName(std::uint32_t tick);

// Exactly eight hexadecimal digits, either case: the only names the queue reader takes.
bool IsQueueFileName(std::string_view name);

// The queue files of `queueDir`, sorted.
std::vector<std::string> ListQueueFiles(const std::string& queueDir);

// "MAIL FROM:<sender>\r\n" and one "RCPT TO:<address>\r\n" per recipient.
std::string FormatEnvelope(std::string_view sender, const std::vector<std::string>& recipients);

// The first name from `tick` on that no queue file, no sent mark and none of `taken` has.
std::optional<std::string> ChooseQueueFileName(const std::string& queueDir, std::uint32_t tick,
                                               const std::vector<std::string>& taken = {});

// A finished queue file (written and synced under a temporary name that the listing never
// takes) moves to a fresh name: the first free one from `tick` on. The name it got, or
// nothing when it could not be moved.
std::optional<std::string> PublishQueueFile(const std::string& temporaryPath, const std::string& queueDir,
                                            std::uint32_t tick);

// The mark of a queue file the provider has taken ("NAME.sent"): made the moment its 250
// arrives, so that a queue file whose deletion a crash or a failure prevented is never sent
// again. A name with a mark is never given to a new queue file.
bool MarkQueueFileSent(const std::string& queueDir, const std::string& name);
bool IsQueueFileSent(const std::string& queueDir, const std::string& name);
// Removes the queue file, then its mark; false when the queue file stays.
bool RemoveSentQueueFile(const std::string& queueDir, const std::string& name);
// Marks whose queue file is gone (a crash between the two removals).
void RemoveStaleSentMarks(const std::string& queueDir);

// The address of a "MAIL FROM:<...>" line: from its twelfth byte up to the first '>', CR, LF
// or the end of the line.
std::string_view EnvelopeSender(std::string_view mailFromLine);

// The reader's view of a queue file.
struct QueueEnvelope {
  std::string sender;                       // from the first line
  std::vector<std::string> recipientLines;  // "RCPT TO:<...>\r\n" lines, as they stand
  std::uint64_t messageOffset = 0;          // where the message begins
};

enum class QueueFileKind { kMessage, kEmpty, kNotAMessage };

// Reads the envelope as the SMTP client takes it: the first line must begin with "MAIL FROM:"
// (any case); then sender and recipient lines (exact case) and "From " lines make up the
// envelope, up to the first line of another kind.
QueueFileKind ReadQueueEnvelope(platform::ByteSource& file, QueueEnvelope& envelope);

}  // namespace quelma::spool
