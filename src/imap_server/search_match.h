// Whether a message matches a SEARCH program: the keys on flags, numbers and dates first, the
// header next, the text last, and the text read only when nothing cheaper decided.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "imap_server/search_program.h"
#include "imap_server/sequence_set.h"
#include "mime/message_structure.h"

namespace quelma::imap_server {

// What "*" stands for while a program is matched.
struct SearchMailbox {
  std::uint32_t messages = 0;  // the largest sequence number
  std::uint32_t largestUid = 0;
};

// One message as a program sees it. Dates compare by their day in UTC: an internal date is
// kept in UTC; the Date: field's day is taken as written, its time and zone disregarded.
struct SearchMessage {
  std::uint32_t sequence = 0;
  std::uint32_t uid = 0;
  std::uint32_t flags = 0;  // spool::flag bits
  bool recent = false;
  std::uint64_t modseq = 0;
  std::int64_t internalDate = 0;  // seconds since 1970 (UTC)
  std::uint64_t size = 0;         // RFC822.SIZE
  // Whether a keyword is set (keywords are told apart without regard to ASCII case).
  std::function<bool(std::string_view)> hasKeyword;
  // The summary kept in the index: its envelope answers FROM, TO, CC, BCC, SUBJECT, HEADER on
  // those fields and SENT*, its parts say where BODY and TEXT look. None: read from the text.
  const mime::MessagePart* structure = nullptr;
  // The header up to its empty line; nothing when it cannot be read. Not set: the text's.
  std::function<std::optional<std::string_view>()> header;
  // The whole text; nothing when it cannot be read. Called at most once, and only for a key
  // the rest did not decide.
  std::function<std::optional<std::string_view>()> text;
};

class SearchMatcher {
 public:
  // Sequence sets are resolved here, once for every message.
  SearchMatcher(const SearchKey& program, SearchMailbox mailbox);
  ~SearchMatcher();
  SearchMatcher(SearchMatcher&&) noexcept;
  SearchMatcher& operator=(SearchMatcher&&) noexcept;

  bool matches(const SearchMessage& message);
  // A message's header or text could not be read: the keys on them did not match it, so the
  // answer may lack messages (or, under NOT, hold some too many). The session says so.
  bool missedText() const { return missedText_; }

  struct Node;

 private:
  std::vector<Node> root_;  // one node
  bool missedText_ = false;
};

}  // namespace quelma::imap_server
