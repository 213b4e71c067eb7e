// Flag lists as STORE and APPEND give them: the system flags as bits, keywords by name, and
// the keywords' bits in a mailbox.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imap_server/command_syntax.h"
#include "spool/mailbox.h"

namespace quelma::imap_server {

struct FlagList {
  std::uint32_t flags = 0;              // spool::flag bits
  std::vector<std::string> keywords;    // as written
};

// "(\Seen $Label)" (or, with `bare`, flags without parentheses as STORE allows); nothing for
// a list that is not one, or for \Recent or an unknown system flag.
std::optional<FlagList> ReadFlagList(ArgumentReader& in, bool bare = false);

// The keywords' bits in `box`, each made when it is new there; nothing when the mailbox has
// room for no more.
std::optional<std::uint64_t> KeywordBits(spool::Mailbox& box, const std::vector<std::string>& keywords);
// The keywords `bits` names in the mailbox whose index is `from`, as bits of `target` (a copy's
// keywords); nothing when `target` cannot take them all.
std::optional<std::uint64_t> CarriedKeywords(spool::Mailbox& target, const spool::MailboxIndex& from, std::uint64_t bits);

}  // namespace quelma::imap_server
