// ENVELOPE, BODY and BODYSTRUCTURE from a stored message structure: address lists read with
// RFC 5322's words, groups, routes and comments (anything else ends the list, well-formed),
// and parts written in the order and case the common IMAP servers answer with.
#include "imap_server/body_structure.h"

#include <algorithm>

#include "imap_server/imap_strings.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

using mime::MessagePart;
using mime::MimeParameter;

// ---- Address lists ----

struct Address {
  std::string name, route, mailbox, domain;
  bool broken = false;
};

bool IsAddressSpecial(char c) { return std::string_view("()<>[]:;@\\,.\"").find(c) != std::string_view::npos; }

bool IsAtext(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u != 0x7f && !IsAddressSpecial(c);
}

// Reads an address header's value: words, specials, comments (the last one kept, as a
// display name for an address that has none).
class AddressScanner {
 public:
  explicit AddressScanner(std::string_view text) : text_(text) {}

  void skipSpace() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++at_;
      } else if (c == '(') {
        comment();
      } else {
        return;
      }
    }
  }
  char peek() {
    skipSpace();
    return at_ < text_.size() ? text_[at_] : '\0';
  }
  bool atEnd() {
    skipSpace();
    return at_ >= text_.size();
  }
  bool take(char c) {
    if (peek() != c || atEnd()) return false;
    ++at_;
    return true;
  }
  // Atoms and quoted strings, one blank between words; dots stay in the words of a phrase.
  std::string phrase() {
    std::string out;
    while (!atEnd() && (text_[at_] == '"' || text_[at_] == '.' || IsAtext(text_[at_]))) {
      if (!out.empty()) out += ' ';
      if (text_[at_] == '"') {
        out += quoted();
      } else {
        while (at_ < text_.size() && (IsAtext(text_[at_]) || text_[at_] == '.')) out += text_[at_++];
      }
    }
    return out;
  }
  // A dot-atom (or obsolete words with dots) or a quoted string.
  std::string localPart() {
    if (peek() == '"') return quoted();
    return dotAtom();
  }
  // A dot-atom or a domain literal, brackets kept.
  std::string domain() {
    if (peek() != '[') return dotAtom();
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        out += text_[at_++];
        continue;
      }
      if (c != '\r' && c != '\n') out += c;
      if (c == ']') break;
    }
    return out;
  }
  std::size_t position() const { return at_; }
  void rewind(std::size_t to) { at_ = to; }
  void forgetComment() { lastComment_.clear(); }
  const std::string& lastComment() const { return lastComment_; }

 private:
  std::string dotAtom() {
    std::string out;
    while (!atEnd() && (IsAtext(text_[at_]) || text_[at_] == '.')) {
      while (at_ < text_.size() && (IsAtext(text_[at_]) || text_[at_] == '.')) out += text_[at_++];
    }
    return out;
  }
  std::string quoted() {
    std::string out;
    ++at_;
    while (at_ < text_.size() && text_[at_] != '"') {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
      if (text_[at_] != '\r' && text_[at_] != '\n') out += text_[at_];
      ++at_;
    }
    if (at_ < text_.size()) ++at_;
    return out;
  }
  void comment() {
    std::string inner;
    int depth = 0;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        inner += text_[at_++];
        continue;
      }
      if (c == '(' && depth++ == 0) continue;
      if (c == ')' && --depth == 0) break;
      inner += c;
    }
    lastComment_ = std::move(inner);
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string lastComment_;
};

// "<[@route,@route:]local@domain>": false when it cannot be read.
bool AngleAddress(AddressScanner& scan, Address& a) {
  scan.take('<');
  if (scan.peek() == '@') {
    while (scan.take('@') || scan.take(',')) {
      if (scan.peek() == '@' || scan.peek() == ':' || scan.peek() == ',') continue;
      if (!a.route.empty()) a.route += ',';
      a.route += '@';
      a.route += scan.domain();
    }
    // "<@>": no route after all, the mailbox is missing
    if (!scan.take(':') && scan.peek() == '>') a.route.clear();
  }
  if (scan.peek() != '>' && scan.peek() != '@') a.mailbox = scan.localPart();
  if (scan.take('@')) a.domain = scan.domain();
  return scan.take('>');
}

// An address with a display name, or a bare one; `broken` when neither can be read to its end.
Address Mailbox(AddressScanner& scan, bool inGroup) {
  Address a;
  const std::size_t start = scan.position();
  std::string name = scan.phrase();
  if (scan.peek() == '<') {
    a.name = std::move(name);
    a.broken = !AngleAddress(scan, a);
  } else {
    scan.rewind(start);
    scan.skipSpace();
    scan.forgetComment();
    a.mailbox = scan.localPart();
    if (scan.take('@')) a.domain = scan.domain();
    scan.skipSpace();
    a.name = scan.lastComment();
  }
  const char next = scan.peek();
  if (!scan.atEnd() && next != ',' && !(inGroup && next == ';')) a.broken = true;
  return a;
}

void AppendAddress(std::string& out, const Address& a, bool utf8) {
  auto orNil = [](const std::string& s) { return s.empty() ? std::nullopt : std::optional<std::string>(s); };
  out += '(';
  AppendNString(out, orNil(a.name), utf8);
  out += ' ';
  AppendNString(out, orNil(a.route), utf8);
  out += ' ';
  AppendString(out, a.mailbox.empty() ? "MISSING_MAILBOX" : a.mailbox, utf8);
  out += ' ';
  AppendString(out, a.broken ? "SYNTAX_ERROR" : a.domain.empty() ? "MISSING_DOMAIN" : a.domain, utf8);
  out += ')';
}

// A group's opening "(NIL NIL name NIL)", its mailboxes and its closing "(NIL NIL NIL NIL)";
// false when the list cannot go on after it.
bool Group(AddressScanner& scan, const std::string& name, std::string& out, bool utf8) {
  out += "(NIL NIL ";
  AppendString(out, name, utf8);
  out += " NIL)";
  bool ok = true;
  while (ok && !scan.atEnd() && !scan.take(';')) {
    if (scan.take(',')) continue;
    const Address a = Mailbox(scan, true);
    AppendAddress(out, a, utf8);
    ok = !a.broken;
  }
  out += "(NIL NIL NIL NIL)";
  return ok;
}

void AppendAddresses(std::string& out, std::string_view value, bool utf8) {
  AddressScanner scan(value);
  std::string list;
  bool ok = true;
  while (ok && !scan.atEnd()) {
    if (scan.take(',')) continue;
    const std::size_t start = scan.position();
    const std::string phrase = scan.phrase();
    if (!phrase.empty() && scan.take(':')) {
      ok = Group(scan, phrase, list, utf8);
      continue;
    }
    scan.rewind(start);
    const Address a = Mailbox(scan, false);
    AppendAddress(list, a, utf8);
    ok = !a.broken;
  }
  if (list.empty()) {
    out += "NIL";
    return;
  }
  out += '(';
  out += list;
  out += ')';
}

}  // namespace

std::vector<std::string> AddressSpecs(std::string_view value) {
  std::vector<std::string> addresses;
  AddressScanner scan(value);
  bool ok = true;
  const auto take = [&addresses, &ok](const Address& a) {
    if (!a.mailbox.empty()) addresses.push_back(a.domain.empty() ? a.mailbox : a.mailbox + "@" + a.domain);
    ok = !a.broken;
  };
  while (ok && !scan.atEnd()) {
    if (scan.take(',') || scan.take(';')) continue;
    const std::size_t start = scan.position();
    const std::string phrase = scan.phrase();
    if (phrase.empty() || !scan.take(':')) scan.rewind(start);  // a group's members follow its name
    take(Mailbox(scan, true));
  }
  return addresses;
}

namespace {

// ---- Parameters ----

struct Continuation {
  std::string_view key;
  unsigned index = 0;
  bool extended = false;
  const std::string* value = nullptr;
};

// "name*3*" as a continuation; nothing for a plain parameter.
std::optional<Continuation> AsContinuation(const MimeParameter& p) {
  const std::size_t star = p.name.find('*');
  if (star == std::string::npos) return std::nullopt;
  Continuation c{std::string_view(p.name).substr(0, star), 0, false, &p.value};
  std::size_t at = star + 1;
  for (; at < p.name.size() && p.name[at] >= '0' && p.name[at] <= '9' && c.index < 100000; ++at) {
    c.index = c.index * 10 + static_cast<unsigned>(p.name[at] - '0');
  }
  // "name*" alone is an extended value; after digits a second "*" says so.
  if (at == star + 1 || (at < p.name.size() && p.name[at] == '*')) {
    c.extended = true;
    if (at < p.name.size() && p.name[at] == '*') ++at;
  }
  if (at != p.name.size()) return std::nullopt;
  return c;
}

// A plain section joined to extended ones: only its "%" is escaped.
void AppendPercentEncoded(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '%') {
      out += "%25";
    } else {
      out += c;
    }
  }
}

void AppendJoined(std::vector<MimeParameter>& out, const Continuation* first, const Continuation* last) {
  bool inOrder = true, extended = false;
  for (const Continuation* c = first; c != last; ++c) {
    inOrder = inOrder && c->index == static_cast<unsigned>(c - first);
    extended = extended || c->extended;
  }
  if (!inOrder) {
    for (const Continuation* c = first; c != last; ++c) {
      out.push_back({std::string(c->key) + '*' + std::to_string(c->index) + (c->extended ? "*" : ""), *c->value});
    }
    return;
  }
  MimeParameter joined{std::string(first->key) + (extended ? "*" : ""), {}};
  if (extended && !first->extended) joined.value = "''";
  for (const Continuation* c = first; c != last; ++c) {
    if (extended && !c->extended) {
      AppendPercentEncoded(joined.value, *c->value);
    } else {
      joined.value += *c->value;
    }
  }
  out.push_back(std::move(joined));
}

void AppendParameterList(std::string& out, const std::vector<MimeParameter>& stored, bool defaultCharset, bool utf8) {
  const std::vector<MimeParameter> parameters = JoinedParameters(stored);
  if (parameters.empty() && !defaultCharset) {
    out += "NIL";
    return;
  }
  out += '(';
  bool charset = false;
  for (const MimeParameter& p : parameters) {
    if (out.back() != '(') out += ' ';
    charset = charset || platform::EqualsIgnoreAsciiCase(p.name, "charset");
    AppendString(out, p.name, utf8);
    out += ' ';
    AppendString(out, p.value, utf8);
  }
  if (defaultCharset && !charset) out += parameters.empty() ? "\"charset\" \"us-ascii\"" : " \"charset\" \"us-ascii\"";
  out += ')';
}

// ---- Parts ----

// The language tags of Content-Language ("en, de-DE (German)"): atoms between commas.
std::vector<std::string> Languages(std::string_view value) {
  std::vector<std::string> out;
  AddressScanner scan(value);
  while (!scan.atEnd() && out.size() < 64) {
    if (scan.take(',')) continue;
    std::string tag = scan.phrase();
    if (tag.empty()) break;
    std::replace(tag.begin(), tag.end(), ' ', '-');
    out.push_back(std::move(tag));
  }
  return out;
}

void AppendLanguages(std::string& out, const std::optional<std::string>& value, bool utf8) {
  const std::vector<std::string> tags = value ? Languages(*value) : std::vector<std::string>{};
  if (tags.empty()) {
    out += "NIL";
    return;
  }
  out += '(';
  for (const std::string& tag : tags) {
    if (out.back() != '(') out += ' ';
    AppendString(out, tag, utf8);
  }
  out += ')';
}

// Disposition, language and location: what every part's extension data ends with.
void AppendCommonExtension(std::string& out, const MessagePart& part, bool utf8) {
  out += ' ';
  if (!part.disposition) {
    out += "NIL";
  } else {
    out += '(';
    AppendString(out, *part.disposition, utf8);
    out += ' ';
    AppendParameterList(out, part.dispositionParameters, false, utf8);
    out += ')';
  }
  out += ' ';
  AppendLanguages(out, part.language, utf8);
  out += ' ';
  AppendNString(out, part.location, utf8);
}

constexpr char kEmptyPart[] = "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7BIT\" 0 0";

void AppendPart(std::string& out, const MessagePart& part, bool extended, bool utf8, std::size_t depth);

void AppendMultipart(std::string& out, const MessagePart& part, bool extended, bool utf8, std::size_t depth) {
  out += '(';
  if (part.parts.empty()) {
    // No parts could be read (no boundary, or none found): one empty text part stands in,
    // as a multipart must have at least one.
    out += kEmptyPart;
    out += extended ? " NIL NIL NIL NIL)" : ")";
  }
  for (const MessagePart& child : part.parts) AppendPart(out, child, extended, utf8, depth + 1);
  out += ' ';
  AppendString(out, part.subtype, utf8);
  if (extended) {
    out += ' ';
    AppendParameterList(out, part.parameters, false, utf8);
    AppendCommonExtension(out, part, utf8);
  }
  out += ')';
}

void AppendSinglePart(std::string& out, const MessagePart& part, bool extended, bool utf8, std::size_t depth) {
  const bool text = platform::EqualsIgnoreAsciiCase(part.type, "text");
  // A message part's answer always has the envelope, body and lines IMAP's grammar requires;
  // one whose message is not followed (encoded, or nested too deep) has empty ones.
  const bool message = part.isMessage();
  const MessagePart* inner = message && part.parts.size() == 1 ? &part.parts.front() : nullptr;
  out += '(';
  AppendString(out, part.type, utf8);
  out += ' ';
  AppendString(out, part.subtype, utf8);
  out += ' ';
  AppendParameterList(out, part.parameters, text, utf8);
  out += ' ';
  AppendNString(out, part.id, utf8);
  out += ' ';
  AppendNString(out, part.description, utf8);
  out += ' ';
  const std::string_view encoding = EncodingToken(part.encoding);
  AppendString(out, encoding.empty() ? "7BIT" : encoding, utf8);
  out += ' ';
  out += std::to_string(part.bodyEnd > part.bodyOffset ? part.bodyEnd - part.bodyOffset : 0);
  if (message) {
    out += " (";
    AppendEnvelope(out, inner && inner->envelope ? *inner->envelope : mime::MessageEnvelope{}, utf8);
    out += ") ";
    if (inner) {
      AppendPart(out, *inner, extended, utf8, depth + 1);
    } else {
      out += kEmptyPart;
      out += extended ? " NIL NIL NIL NIL)" : ")";
    }
  }
  if (text || message) {
    out += ' ';
    out += std::to_string(part.bodyLines);
  }
  if (extended) {
    out += ' ';
    AppendNString(out, part.md5, utf8);
    AppendCommonExtension(out, part, utf8);
  }
  out += ')';
}

void AppendPart(std::string& out, const MessagePart& part, bool extended, bool utf8, std::size_t depth) {
  // The store keeps no deeper tree; one handed in from elsewhere ends here, still well-formed.
  if (depth > 2 * mime::kMaxDepth + 2) {
    out += kEmptyPart;
    out += extended ? " NIL NIL NIL NIL)" : ")";
    return;
  }
  if (part.isMultipart()) {
    AppendMultipart(out, part, extended, utf8, depth);
  } else {
    AppendSinglePart(out, part, extended, utf8, depth);
  }
}

}  // namespace

std::string_view EncodingToken(const std::optional<std::string>& encoding) {
  if (!encoding) return {};
  std::string_view value(*encoding);
  const std::size_t start = value.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  value.remove_prefix(start);
  std::size_t end = 0;
  while (end < value.size() && IsAtext(value[end]) && value[end] != '/' && value[end] != '=' && value[end] != '?') ++end;
  return value.substr(0, end);
}

std::vector<MimeParameter> JoinedParameters(const std::vector<MimeParameter>& parameters) {
  std::vector<MimeParameter> out;
  std::vector<Continuation> continuations;
  for (const MimeParameter& p : parameters) {
    if (auto c = AsContinuation(p)) {
      continuations.push_back(*c);
    } else {
      out.push_back(p);
    }
  }
  std::stable_sort(continuations.begin(), continuations.end(), [](const Continuation& a, const Continuation& b) {
    const std::string ka = platform::ToLowerAscii(a.key), kb = platform::ToLowerAscii(b.key);
    return ka != kb ? ka < kb : a.index < b.index;
  });
  for (std::size_t i = 0; i < continuations.size();) {
    std::size_t next = i + 1;
    while (next < continuations.size() && platform::EqualsIgnoreAsciiCase(continuations[next].key, continuations[i].key)) ++next;
    AppendJoined(out, continuations.data() + i, continuations.data() + next);
    i = next;
  }
  return out;
}

void AppendAddressList(std::string& out, const std::optional<std::string>& value, bool utf8) {
  if (!value) {
    out += "NIL";
    return;
  }
  AppendAddresses(out, *value, utf8);
}

void AppendEnvelope(std::string& out, const mime::MessageEnvelope& e, bool utf8) {
  AppendNString(out, e.date, utf8);
  out += ' ';
  AppendNString(out, e.subject, utf8);
  out += ' ';
  std::string from;
  AppendAddressList(from, e.from, utf8);
  out += from;
  // Sender and Reply-To are From's when missing, or when they name no address.
  for (const std::optional<std::string>* field : {&e.sender, &e.replyTo}) {
    out += ' ';
    const std::size_t before = out.size();
    AppendAddressList(out, *field, utf8);
    if (out.compare(before, std::string::npos, "NIL") == 0) out.replace(before, 3, from);
  }
  for (const std::optional<std::string>* field : {&e.to, &e.cc, &e.bcc}) {
    out += ' ';
    AppendAddressList(out, *field, utf8);
  }
  out += ' ';
  AppendNString(out, e.inReplyTo, utf8);
  out += ' ';
  AppendNString(out, e.messageId, utf8);
}

void AppendBodyStructure(std::string& out, const MessagePart& root, bool extended, bool utf8) {
  AppendPart(out, root, extended, utf8, 0);
}

}  // namespace quelma::imap_server
