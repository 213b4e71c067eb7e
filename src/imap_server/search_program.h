// The SEARCH command's request: its return options, its charset and its program, a tree of
// search keys, read from the command's arguments with depth, key count and strings bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imap_server/command_syntax.h"
#include "imap_server/sequence_set.h"

namespace quelma::imap_server {

inline constexpr std::size_t kMaxSearchDepth = 64;     // parentheses, NOT and OR inside each other
inline constexpr std::size_t kMaxSearchKeys = 1000;    // keys in one program
inline constexpr std::size_t kMaxSearchString = 8192;  // bytes of one string

struct SearchKey {
  enum class Kind : std::uint8_t {
    kAll,
    kFlag,     // `number`: a spool::flag bit set
    kRecent,   // \Recent
    kKeyword,  // `text`: the keyword set
    kLarger,   // RFC822.SIZE above `number`
    kSmaller,  // below `number`
    kBefore,   // internal date's day (UTC) before `day`
    kOn,
    kSince,       // on or after
    kSentBefore,  // the Date: field's day, as written, before `day`
    kSentOn,
    kSentSince,
    kModseq,    // MODSEQ at least `number`
    kSequence,  // sequence number in `set`
    kUid,       // UID in `set`
    kHeader,    // a field named `field` whose value holds `text`
    kBody,      // the body's text holds `text`
    kText,      // the header or the body's text holds `text`
    kNot,       // children[0] does not match
    kOr,        // children[0] or children[1]
    kAnd,       // every child (a parenthesised list, the program itself)
  };
  Kind kind = Kind::kAll;
  std::uint64_t number = 0;
  std::int64_t day = 0;  // days since 1970-01-01
  std::string field;     // kHeader: the field's name as written
  std::string text;      // kKeyword as written; kHeader, kBody, kText case-folded (FoldCase)
  SequenceSet set;
  std::vector<SearchKey> children;
};

// RETURN (MIN MAX ALL COUNT); "RETURN ()" is ALL.
struct SearchReturn {
  bool min = false, max = false, all = false, count = false;
};

struct SearchRequest {
  bool uid = false;                           // UID SEARCH: the answer gives UIDs
  std::optional<SearchReturn> returnOptions;  // RETURN was given: the answer is ESEARCH
  SearchKey program;                          // kAnd of the keys as given
  bool usesModseq = false;                    // a MODSEQ key: the answer gives the highest MODSEQ
};

struct SearchParse {
  enum class Outcome {
    kOk,
    kMalformed,   // BAD
    kBadCharset,  // NO [BADCHARSET (UTF-8)]
  };
  Outcome outcome = Outcome::kMalformed;
  SearchRequest request;
};

// Reads what follows "SEARCH " to the end of the command: [RETURN (...)] [CHARSET x] keys.
// UTF-8 and US-ASCII are the charsets taken. Keys of IMAP4rev1 that IMAP4rev2 dropped (NEW,
// OLD, RECENT) are still read; MODSEQ's entry name and type are read and ignored.
SearchParse ReadSearchRequest(ArgumentReader& in, bool uidCommand);

}  // namespace quelma::imap_server
