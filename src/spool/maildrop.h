// Maildrop files: the separator line, the path of a user's maildrop, and the append that
// every writer (SMTP intake, sorter, failure notice) uses under the maildrop's locks.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "platform/files.h"
#include "spool/maildrop_locks.h"
#include "spool/maildrop_text.h"

namespace quelma::spool {

// "From " and the bytes 01 01 02 02 01 01 03 03: a line that begins so starts a message.
inline constexpr std::string_view kMaildropMarker{"From \x01\x01\x02\x02\x01\x01\x03\x03", 13};

// The marker, a space and the tick as 8 upper-case hex digits (22 bytes, no CR LF): the id
// UIDL gives the message.
inline constexpr std::size_t kSeparatorIdLength = 8;
std::string FormatMaildropSeparator(std::uint32_t tick);

// The separator line of a new delivery, with an id no other delivery has had (the ids carry on
// across restarts, see spool::PrepareSpool).
std::string NewSeparatorLine();

// MailDropDir followed by the user's name as the user table spells it, so every spelling of
// one user reaches one file; the name as given when no user has it.
std::string MaildropPath(const config::Configuration& config, std::string_view userName);

// The compacted copies of mailbox files are written in the maildrop directory under names
// that begin so, a new one each time (see MailboxWorkPath); a crash may leave one, and the
// program removes them at start.
inline constexpr char kCommitWorkFiles[] = "pop3s*.tmp";
inline constexpr char kCommitWorkPrefix[] = "pop3s-";

// kTornTail: the write failed, and what it wrote could not be cut off again either; the
// maildrop ends in a torn message until the caller's delivery undoes the append.
enum class AppendResult { kAppended, kCannotOpen, kWriteFailed, kTornTail };

// Appends the separator line and the message text (CR LF lines) in one write under the lock;
// `durable` syncs before returning (the name of a new maildrop too). A failed write is cut
// off again, so no torn message stays.
AppendResult AppendToMaildrop(const std::string& path, std::string_view separatorLine, std::string_view text,
                              bool durable);

// The same for a text that is written piece by piece: `writeText` writes it through the
// maildrop's text writer (after the separator line) and returns false when a write failed.
AppendResult AppendToMaildropWith(const std::string& path, std::string_view separatorLine,
                                  const std::function<bool(MaildropTextWriter&)>& writeText, bool durable);


}  // namespace quelma::spool
