// Matching one message: the program compiled once (sets resolved, cheap keys first), then
// evaluated with the header, the structure and the text fetched only when a key needs them.
#include "imap_server/search_match.h"

#include <algorithm>
#include <array>
#include <string>

#include "codec/encoded_words.h"
#include "imap_server/body_structure.h"
#include "imap_server/command_syntax.h"
#include "imap_server/search_text.h"
#include "platform/text.h"

namespace quelma::imap_server {

using Kind = SearchKey::Kind;

struct SearchMatcher::Node {
  const SearchKey* key = nullptr;
  int cost = 0;  // 0: the message's numbers and flags; 1: its header; 2: its text
  std::vector<SequenceSet::Range> ranges;
  std::vector<Node> children;  // cheapest first
};

namespace {

using Node = SearchMatcher::Node;

int CostOf(Kind kind) {
  switch (kind) {
    case Kind::kHeader:
    case Kind::kSentBefore:
    case Kind::kSentOn:
    case Kind::kSentSince:
      return 1;
    case Kind::kBody:
    case Kind::kText:
      return 2;
    default:
      return 0;
  }
}

Node Compile(const SearchKey& key, const SearchMailbox& mailbox) {
  Node node;
  node.key = &key;
  node.cost = CostOf(key.kind);
  if (key.kind == Kind::kSequence) node.ranges = key.set.resolve(mailbox.messages);
  if (key.kind == Kind::kUid) node.ranges = key.set.resolve(mailbox.largestUid);
  for (const SearchKey& child : key.children) {
    node.children.push_back(Compile(child, mailbox));
    node.cost = std::max(node.cost, node.children.back().cost);
  }
  // OR and AND stop at the first child that decides: the cheap ones go first.
  std::stable_sort(node.children.begin(), node.children.end(),
                   [](const Node& a, const Node& b) { return a.cost < b.cost; });
  return node;
}

std::int64_t DayOf(std::int64_t seconds) { return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400); }

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsLetters(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::optional<std::string_view> MonthName(std::string_view word) {
  if (word.size() < 3 || !IsLetters(word)) return std::nullopt;
  for (const std::string_view month : kMonths) {
    if (platform::StartsWithIgnoreAsciiCase(word, month)) return month;
  }
  return std::nullopt;
}

std::vector<std::string_view> DateWords(std::string_view value) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < value.size() && words.size() < 8) {
    const std::size_t start = value.find_first_not_of(" \t\r\n,", at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(value.find_first_of(" \t\r\n,", start), value.size());
    words.push_back(value.substr(start, end - start));
    at = end;
  }
  return words;
}

// The day a Date: field names as written, time and zone disregarded. Tolerant of what mailers
// write: a missing or odd day name, a two- or three-digit year, asctime's "Jan  5 10:00:00 2024".
std::optional<std::int64_t> SentDay(std::string_view value) {
  std::vector<std::string_view> words = DateWords(value);
  if (!words.empty() && IsLetters(words[0]) && !MonthName(words[0])) words.erase(words.begin());  // "Mon"
  std::string_view day, year;
  std::optional<std::string_view> month;
  if (words.size() >= 3 && IsDigits(words[0]) && (month = MonthName(words[1]))) {
    day = words[0];
    year = words[2];
  } else if (words.size() >= 3 && (month = MonthName(words[0])) && IsDigits(words[1])) {
    day = words[1];
    const auto found = std::find_if(words.begin() + 2, words.end(), IsDigits);
    if (found != words.end()) year = *found;
  }
  if (!month || day.size() > 2 || !IsDigits(year) || year.size() > 4) return std::nullopt;
  int number = std::stoi(std::string(year));
  if (year.size() == 2) number += number < 50 ? 2000 : 1900;
  if (year.size() == 3) number += 1900;
  const std::string date = std::string(day) + "-" + std::string(*month) + "-" + std::to_string(number);
  ArgumentReader reader(date);
  const auto seconds = ReadDate(reader);
  if (!seconds) return std::nullopt;
  return *seconds / 86400;
}

// Each field of a header: its name and its raw value (folded lines and all).
template <typename Visit>
bool AnyField(std::string_view header, Visit&& visit) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find('\n', at);
    while (end != std::string_view::npos && end + 1 < header.size() &&
           (header[end + 1] == ' ' || header[end + 1] == '\t')) {
      end = header.find('\n', end + 1);
    }
    if (end == std::string_view::npos) end = header.size();
    const std::string_view field = header.substr(at, end - at);
    const std::size_t colon = field.find(':');
    if (colon != std::string_view::npos) {
      std::string_view name = field.substr(0, colon);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
      if (visit(name, field.substr(colon + 1))) return true;
    }
    at = end + 1;
  }
  return false;
}

// A field's value holds the needle decoded (RFC 2047 words, any charset) or as written.
bool ValueContains(std::string_view value, std::string_view needle) {
  if (needle.empty()) return true;
  return ContainsFolded(codec::DecodeHeaderValueToUtf8(value), needle) || ContainsFolded(value, needle);
}

// A header as TEXT sees it: its lines as written, and each field's value decoded.
bool HeaderTextContains(std::string_view header, std::string_view needle) {
  if (ContainsFolded(header, needle)) return true;
  return AnyField(header, [&](std::string_view, std::string_view value) {
    return ContainsFolded(codec::DecodeHeaderValueToUtf8(value), needle);
  });
}

const std::optional<std::string>* EnvelopeField(const mime::MessageEnvelope& envelope, std::string_view name) {
  struct Entry {
    std::string_view name;
    const std::optional<std::string> mime::MessageEnvelope::*field;
  };
  static constexpr Entry kFields[] = {
      {"From", &mime::MessageEnvelope::from},       {"To", &mime::MessageEnvelope::to},
      {"Cc", &mime::MessageEnvelope::cc},           {"Bcc", &mime::MessageEnvelope::bcc},
      {"Subject", &mime::MessageEnvelope::subject}, {"Date", &mime::MessageEnvelope::date},
  };
  for (const Entry& entry : kFields) {
    if (platform::EqualsIgnoreAsciiCase(name, entry.name)) return &(envelope.*entry.field);
  }
  return nullptr;
}

std::string_view Slice(std::string_view text, std::uint64_t from, std::uint64_t to) {
  from = std::min<std::uint64_t>(from, text.size());
  to = std::clamp<std::uint64_t>(to, from, text.size());
  return text.substr(from, to - from);
}

// The text parts of `part` (decoded), and the headers of the messages it holds.
bool PartsContain(const mime::MessagePart& part, std::string_view text, std::string_view needle) {
  if (part.isMultipart()) {
    return std::any_of(part.parts.begin(), part.parts.end(),
                       [&](const mime::MessagePart& child) { return PartsContain(child, text, needle); });
  }
  if (part.isMessage()) {
    if (part.parts.empty()) return false;
    const mime::MessagePart& inner = part.parts.front();
    return HeaderTextContains(Slice(text, inner.headerOffset, inner.bodyOffset), needle) ||
           PartsContain(inner, text, needle);
  }
  if (!platform::EqualsIgnoreAsciiCase(part.type, "text")) return false;
  return BodyContains(part, Slice(text, part.bodyOffset, part.bodyEnd), needle);
}

// What one message's evaluation fetched, each at most once.
class MessageState {
 public:
  explicit MessageState(const SearchMessage& message) : m(message) {}

  const SearchMessage& m;
  bool missed = false;

  std::optional<std::string_view> text() {
    if (!text_) text_ = m.text ? m.text() : std::nullopt;
    if (!*text_) missed = true;
    return *text_;
  }

  const mime::MessagePart* structure() {
    if (m.structure != nullptr) return m.structure;
    if (!parsed_) {
      const auto whole = text();
      if (!whole) return nullptr;
      parsed_ = mime::ReadStructure(*whole);
    }
    return &*parsed_;
  }

  std::optional<std::string_view> header() {
    if (header_) return *header_;
    if (m.header) {
      header_ = m.header();
      if (!*header_) missed = true;
    } else {
      const mime::MessagePart* part = structure();
      const auto whole = text();
      header_ = part != nullptr && whole ? std::optional(Slice(*whole, 0, part->bodyOffset)) : std::nullopt;
    }
    return *header_;
  }

  std::optional<std::int64_t> sentDay() {
    if (!sentDay_) {
      const mime::MessagePart* part = m.structure;
      std::optional<std::string_view> date;
      if (part != nullptr && part->envelope) {
        if (part->envelope->date) date = *part->envelope->date;
      } else if (const auto block = header()) {
        AnyField(*block, [&](std::string_view name, std::string_view value) {
          if (platform::EqualsIgnoreAsciiCase(name, "Date")) date = value;
          return date.has_value();
        });
      }
      sentDay_ = date ? SentDay(*date) : std::nullopt;
    }
    return *sentDay_;
  }

 private:
  std::optional<std::optional<std::string_view>> text_, header_;
  std::optional<mime::MessagePart> parsed_;
  std::optional<std::optional<std::int64_t>> sentDay_;
};

bool HeaderMatches(const SearchKey& key, MessageState& state) {
  if (state.m.structure != nullptr && state.m.structure->envelope) {
    if (const std::optional<std::string>* value = EnvelopeField(*state.m.structure->envelope, key.field)) {
      if (!*value) return false;
      if (ValueContains(**value, key.text)) return true;
      // An address field matches on its addresses as well, written as they are meant:
      // "<user (comment)@ domain.org>" is user@domain.org.
      if (platform::EqualsIgnoreAsciiCase(key.field, "Subject") || platform::EqualsIgnoreAsciiCase(key.field, "Date")) {
        return false;
      }
      const auto addresses = AddressSpecs(**value);
      return std::any_of(addresses.begin(), addresses.end(), [&key](const std::string& address) { return ValueContains(address, key.text); });
    }
  }
  const auto header = state.header();
  if (!header) return false;
  return AnyField(*header, [&](std::string_view name, std::string_view value) {
    return platform::EqualsIgnoreAsciiCase(name, key.field) && ValueContains(value, key.text);
  });
}

bool TextMatches(const SearchKey& key, MessageState& state) {
  if (key.text.empty()) return true;
  if (key.kind == Kind::kText) {
    const auto header = state.header();
    if (header && HeaderTextContains(*header, key.text)) return true;
  }
  const mime::MessagePart* structure = state.structure();
  const auto text = state.text();
  return structure != nullptr && text && PartsContain(*structure, *text, key.text);
}

bool SentMatches(const SearchKey& key, MessageState& state) {
  const auto day = state.sentDay();
  if (!day) return false;
  if (key.kind == Kind::kSentBefore) return *day < key.day;
  if (key.kind == Kind::kSentOn) return *day == key.day;
  return *day >= key.day;
}

bool Evaluate(const Node& node, MessageState& state) {
  const SearchKey& key = *node.key;
  const SearchMessage& m = state.m;
  switch (key.kind) {
    case Kind::kAll:
      return true;
    case Kind::kFlag:
      return (m.flags & key.number) != 0;
    case Kind::kRecent:
      return m.recent;
    case Kind::kKeyword:
      return m.hasKeyword && m.hasKeyword(key.text);
    case Kind::kLarger:
      return m.size > key.number;
    case Kind::kSmaller:
      return m.size < key.number;
    case Kind::kBefore:
      return DayOf(m.internalDate) < key.day;
    case Kind::kOn:
      return DayOf(m.internalDate) == key.day;
    case Kind::kSince:
      return DayOf(m.internalDate) >= key.day;
    case Kind::kSentBefore:
    case Kind::kSentOn:
    case Kind::kSentSince:
      return SentMatches(key, state);
    case Kind::kModseq:
      return m.modseq >= key.number;
    case Kind::kSequence:
      return Contains(node.ranges, m.sequence);
    case Kind::kUid:
      return Contains(node.ranges, m.uid);
    case Kind::kHeader:
      return HeaderMatches(key, state);
    case Kind::kBody:
    case Kind::kText:
      return TextMatches(key, state);
    case Kind::kNot:
      return !Evaluate(node.children.front(), state);
    case Kind::kOr:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const Node& child) { return Evaluate(child, state); });
    case Kind::kAnd:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const Node& child) { return Evaluate(child, state); });
  }
  return false;
}

}  // namespace

SearchMatcher::SearchMatcher(const SearchKey& program, SearchMailbox mailbox) {
  root_.push_back(Compile(program, mailbox));
}
SearchMatcher::~SearchMatcher() = default;
SearchMatcher::SearchMatcher(SearchMatcher&&) noexcept = default;
SearchMatcher& SearchMatcher::operator=(SearchMatcher&&) noexcept = default;

bool SearchMatcher::matches(const SearchMessage& message) {
  MessageState state(message);
  const bool matched = Evaluate(root_.front(), state);
  missedText_ = missedText_ || state.missed;
  return matched;
}

}  // namespace quelma::imap_server
