// Reading a SEARCH request: a table of the search keys and what each takes after it.
#include "imap_server/search_program.h"

#include <utility>

#include "imap_server/search_text.h"
#include "platform/text.h"
#include "spool/mailbox_index.h"

namespace quelma::imap_server {
namespace {

using Kind = SearchKey::Kind;

// What a key word takes after it.
enum class Argument {
  kNone,
  kString,   // SP astring (BODY, TEXT; FROM, TO, CC, BCC, SUBJECT as their header field)
  kHeader,   // SP field-name SP astring
  kKeyword,  // SP atom
  kNumber,   // SP number64
  kDate,     // SP date
  kUidSet,   // SP sequence-set
  kModseq,   // [SP entry-name SP entry-type] SP mod-sequence
  kNot,      // SP key
  kOr,       // SP key SP key
};

struct KeyWord {
  std::string_view name;
  Argument argument;
  Kind kind;
  std::uint32_t flag = 0;       // kFlag
  bool negated = false;         // UNSEEN, UNKEYWORD, OLD...: NOT of the key
  std::string_view field = {};  // FROM, TO...: the header field
};

constexpr KeyWord kKeyWords[] = {
    {"ALL", Argument::kNone, Kind::kAll},
    {"ANSWERED", Argument::kNone, Kind::kFlag, spool::flag::kAnswered},
    {"DELETED", Argument::kNone, Kind::kFlag, spool::flag::kDeleted},
    {"DRAFT", Argument::kNone, Kind::kFlag, spool::flag::kDraft},
    {"FLAGGED", Argument::kNone, Kind::kFlag, spool::flag::kFlagged},
    {"SEEN", Argument::kNone, Kind::kFlag, spool::flag::kSeen},
    {"UNANSWERED", Argument::kNone, Kind::kFlag, spool::flag::kAnswered, true},
    {"UNDELETED", Argument::kNone, Kind::kFlag, spool::flag::kDeleted, true},
    {"UNDRAFT", Argument::kNone, Kind::kFlag, spool::flag::kDraft, true},
    {"UNFLAGGED", Argument::kNone, Kind::kFlag, spool::flag::kFlagged, true},
    {"UNSEEN", Argument::kNone, Kind::kFlag, spool::flag::kSeen, true},
    {"RECENT", Argument::kNone, Kind::kRecent},
    {"OLD", Argument::kNone, Kind::kRecent, 0, true},
    {"NEW", Argument::kNone, Kind::kAnd},  // RECENT UNSEEN, built below
    {"KEYWORD", Argument::kKeyword, Kind::kKeyword},
    {"UNKEYWORD", Argument::kKeyword, Kind::kKeyword, 0, true},
    {"BODY", Argument::kString, Kind::kBody},
    {"TEXT", Argument::kString, Kind::kText},
    {"FROM", Argument::kString, Kind::kHeader, 0, false, "From"},
    {"TO", Argument::kString, Kind::kHeader, 0, false, "To"},
    {"CC", Argument::kString, Kind::kHeader, 0, false, "Cc"},
    {"BCC", Argument::kString, Kind::kHeader, 0, false, "Bcc"},
    {"SUBJECT", Argument::kString, Kind::kHeader, 0, false, "Subject"},
    {"HEADER", Argument::kHeader, Kind::kHeader},
    {"LARGER", Argument::kNumber, Kind::kLarger},
    {"SMALLER", Argument::kNumber, Kind::kSmaller},
    {"BEFORE", Argument::kDate, Kind::kBefore},
    {"ON", Argument::kDate, Kind::kOn},
    {"SINCE", Argument::kDate, Kind::kSince},
    {"SENTBEFORE", Argument::kDate, Kind::kSentBefore},
    {"SENTON", Argument::kDate, Kind::kSentOn},
    {"SENTSINCE", Argument::kDate, Kind::kSentSince},
    {"UID", Argument::kUidSet, Kind::kUid},
    {"MODSEQ", Argument::kModseq, Kind::kModseq},
    {"NOT", Argument::kNot, Kind::kNot},
    {"OR", Argument::kOr, Kind::kOr},
};

const KeyWord* FindKeyWord(std::string_view word) {
  for (const KeyWord& key : kKeyWords) {
    if (platform::EqualsIgnoreAsciiCase(word, key.name)) return &key;
  }
  return nullptr;
}

struct Reading {
  ArgumentReader& in;
  std::size_t keys = 0;
  bool usesModseq = false;
};

bool ReadKey(Reading& r, SearchKey& key, std::size_t depth);

std::optional<std::string> ReadString(ArgumentReader& in) {
  auto text = in.astring();
  if (!text || text->size() > kMaxSearchString) return std::nullopt;
  return text;
}

// A header field's name: printable ASCII without ":".
bool IsFieldName(std::string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (const char c : name) {
    if (c <= ' ' || c >= 0x7F || c == ':') return false;
  }
  return true;
}

// MODSEQ's optional entry ("/flags/\Seen" priv): RFC 7162 lets a server that keeps one
// MODSEQ per message ignore it.
bool SkipModseqEntry(ArgumentReader& in) {
  if (in.peek() != '"') return true;
  const auto entry = in.string();
  if (!entry || !platform::StartsWithIgnoreAsciiCase(*entry, "/flags/") || !in.space()) return false;
  if (!in.keyword("priv") && !in.keyword("shared") && !in.keyword("all")) return false;
  return in.space();
}

bool ReadArgument(Reading& r, const KeyWord& word, SearchKey& key, std::size_t depth) {
  ArgumentReader& in = r.in;
  if (word.argument != Argument::kNone && !in.space()) return false;
  switch (word.argument) {
    case Argument::kNone:
      return true;
    case Argument::kString: {
      auto text = ReadString(in);
      if (!text) return false;
      key.field = std::string(word.field);
      key.text = FoldCase(*text);
      return true;
    }
    case Argument::kHeader: {
      auto field = in.astring();
      if (!field || !IsFieldName(*field) || !in.space()) return false;
      auto text = ReadString(in);
      if (!text) return false;
      key.field = std::move(*field);
      key.text = FoldCase(*text);
      return true;
    }
    case Argument::kKeyword: {
      const auto atom = in.atom();
      if (!atom) return false;
      key.text = std::string(*atom);
      return true;
    }
    case Argument::kNumber: {
      const auto number = in.number64();
      if (!number) return false;
      key.number = *number;
      return true;
    }
    case Argument::kDate: {
      const auto seconds = ReadDate(in);
      if (!seconds) return false;
      key.day = *seconds / 86400;  // the day's first second: an exact multiple
      return true;
    }
    case Argument::kUidSet: {
      auto set = ReadSequenceSet(in);
      if (!set) return false;
      key.set = std::move(*set);
      return true;
    }
    case Argument::kModseq: {
      if (!SkipModseqEntry(in)) return false;
      const auto number = in.number64();
      if (!number) return false;
      key.number = *number;
      r.usesModseq = true;
      return true;
    }
    case Argument::kNot:
    case Argument::kOr:
      key.children.resize(word.argument == Argument::kOr ? 2 : 1);
      if (!ReadKey(r, key.children[0], depth + 1)) return false;
      return word.argument == Argument::kNot || (in.space() && ReadKey(r, key.children[1], depth + 1));
  }
  return false;
}

SearchKey Negated(SearchKey key) {
  SearchKey negation;
  negation.kind = Kind::kNot;
  negation.children.push_back(std::move(key));
  return negation;
}

SearchKey SimpleKey(Kind kind, std::uint32_t flag = 0) {
  SearchKey key;
  key.kind = kind;
  key.number = flag;
  return key;
}

// Keys separated by single blanks, as the program and a parenthesised list hold them.
bool ReadKeys(Reading& r, SearchKey& list, std::size_t depth) {
  list.kind = Kind::kAnd;
  do {
    list.children.emplace_back();
    if (!ReadKey(r, list.children.back(), depth)) return false;
  } while (r.in.space());
  return true;
}

bool ReadKey(Reading& r, SearchKey& key, std::size_t depth) {
  ArgumentReader& in = r.in;
  if (depth > kMaxSearchDepth || ++r.keys > kMaxSearchKeys) return false;
  if (in.take('(')) return ReadKeys(r, key, depth + 1) && in.take(')');
  const char first = in.peek();
  if ((first >= '0' && first <= '9') || first == '*') {
    auto set = ReadSequenceSet(in);
    if (!set) return false;
    key.kind = Kind::kSequence;
    key.set = std::move(*set);
    return true;
  }
  const auto atom = in.atom();
  const KeyWord* word = atom ? FindKeyWord(*atom) : nullptr;
  if (word == nullptr) return false;
  key.kind = word->kind;
  key.number = word->flag;
  if (!ReadArgument(r, *word, key, depth)) return false;
  if (word->name == "NEW") {
    key.children.push_back(SimpleKey(Kind::kRecent));
    key.children.push_back(Negated(SimpleKey(Kind::kFlag, spool::flag::kSeen)));
  }
  if (word->negated) key = Negated(std::move(key));
  return true;
}

std::optional<SearchReturn> ReadReturnOptions(ArgumentReader& in) {
  SearchReturn options;
  if (!in.space() || !in.take('(')) return std::nullopt;
  if (!in.take(')')) {
    do {
      if (in.keyword("MIN")) {
        options.min = true;
      } else if (in.keyword("MAX")) {
        options.max = true;
      } else if (in.keyword("ALL")) {
        options.all = true;
      } else if (in.keyword("COUNT")) {
        options.count = true;
      } else {
        return std::nullopt;  // SAVE included: search results are not kept
      }
    } while (in.space());
    if (!in.take(')')) return std::nullopt;
  }
  if (!options.min && !options.max && !options.count) options.all = true;
  return options;
}

}  // namespace

SearchParse ReadSearchRequest(ArgumentReader& in, bool uidCommand) {
  SearchParse parse;
  parse.request.uid = uidCommand;
  if (in.keyword("RETURN")) {
    parse.request.returnOptions = ReadReturnOptions(in);
    if (!parse.request.returnOptions || !in.space()) return parse;
  }
  if (in.keyword("CHARSET")) {
    if (!in.space()) return parse;
    const auto charset = in.astring();
    if (!charset || !in.space()) return parse;
    if (!platform::EqualsIgnoreAsciiCase(*charset, "UTF-8") && !platform::EqualsIgnoreAsciiCase(*charset, "US-ASCII")) {
      parse.outcome = SearchParse::Outcome::kBadCharset;
      return parse;
    }
  }
  Reading reading{in};
  if (!ReadKeys(reading, parse.request.program, 1) || !in.atEnd()) return parse;
  parse.request.usesModseq = reading.usesModseq;
  parse.outcome = SearchParse::Outcome::kOk;
  return parse;
}

}  // namespace quelma::imap_server
