// Reading flag lists and finding the keywords' bits.
#include "imap_server/flag_lists.h"

#include "imap_server/imap_strings.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

constexpr std::size_t kMaxFlags = 200;


std::optional<std::uint32_t> SystemFlag(std::string_view word) {
  const std::string upper = platform::ToUpperAscii(word);
  if (upper == "SEEN") return spool::flag::kSeen;
  if (upper == "ANSWERED") return spool::flag::kAnswered;
  if (upper == "FLAGGED") return spool::flag::kFlagged;
  if (upper == "DELETED") return spool::flag::kDeleted;
  if (upper == "DRAFT") return spool::flag::kDraft;
  return std::nullopt;
}

}  // namespace

std::optional<FlagList> ReadFlagList(ArgumentReader& in, bool bare) {
  FlagList list;
  const bool open = in.take('(');
  if (!open && !bare) return std::nullopt;
  if (open && in.take(')')) return list;
  std::size_t count = 0;
  do {
    if (++count > kMaxFlags) return std::nullopt;
    if (in.take('\\')) {
      const auto word = in.atom();
      const auto bit = word ? SystemFlag(*word) : std::nullopt;
      if (!bit) return std::nullopt;
      list.flags |= *bit;
    } else {
      const auto word = in.atom();
      if (!word) return std::nullopt;
      bool known = false;
      for (const std::string& k : list.keywords) known = known || platform::ToUpperAscii(k) == platform::ToUpperAscii(*word);
      if (!known) list.keywords.emplace_back(*word);
    }
  } while (in.space());
  if (open && !in.take(')')) return std::nullopt;
  return list;
}

std::optional<std::uint64_t> KeywordBits(spool::Mailbox& box, const std::vector<std::string>& keywords) {
  std::uint64_t bits = 0;
  for (const std::string& keyword : keywords) {
    // Keywords compare without regard to case: an existing spelling is taken.
    std::optional<std::size_t> bit;
    const auto snapshot = box.snapshot();
    const spool::MailboxIndex& index = *snapshot;
    for (std::size_t k = 0; k < index.keywords.size(); ++k) {
      if (platform::ToUpperAscii(index.keywords[k]) == platform::ToUpperAscii(keyword)) bit = k;
    }
    if (!bit) bit = box.keyword(keyword);
    if (!bit) return std::nullopt;
    bits |= std::uint64_t{1} << *bit;
  }
  return bits;
}

std::optional<std::uint64_t> CarriedKeywords(spool::Mailbox& target, const spool::MailboxIndex& from, std::uint64_t bits) {
  if (bits == 0) return 0;
  std::vector<std::string> names;
  for (std::size_t k = 0; k < from.keywords.size() && k < 64; ++k) {
    if (bits & (std::uint64_t{1} << k)) names.push_back(from.keywords[k]);
  }
  return KeywordBits(target, names);
}

}  // namespace quelma::imap_server
