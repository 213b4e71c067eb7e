// Reading FETCH items and their sections.
#include "imap_server/fetch_items.h"

#include <algorithm>

#include "imap_server/imap_strings.h"

namespace quelma::imap_server {
namespace {

using Kind = FetchItem::Kind;

FetchItem Simple(Kind kind, std::string label) {
  FetchItem item;
  item.kind = kind;
  item.label = std::move(label);
  return item;
}

FetchItem WholeSection(SectionSpec::Text text, bool peek, std::string label) {
  FetchItem item = Simple(Kind::kSection, std::move(label));
  item.section.text = text;
  item.peek = peek;
  return item;
}

// "1.2.3" before the section text; the dot that ends it is left for the text.
bool ReadPart(ArgumentReader& in, std::vector<std::uint32_t>& part, std::string& label) {
  while (true) {
    const auto n = in.nonZero();
    if (!n) return false;
    part.push_back(*n);
    label += std::to_string(*n);
    if (part.size() > 100) return false;
    if (in.peek() != '.') return true;
    in.take('.');
    if (in.peek() < '0' || in.peek() > '9') {
      label += '.';
      return true;  // a section text follows
    }
    label += '.';
  }
}

bool ReadHeaderList(ArgumentReader& in, SectionSpec& section, std::string& label) {
  if (!in.space() || !in.take('(')) return false;
  label += " (";
  do {
    auto field = in.astring();
    if (!field || field->empty() || section.fields.size() == kMaxHeaderFields) return false;
    // A field name is printable ASCII without ":" (RFC 5322 ftext).
    for (const char c : *field) {
      if (c <= ' ' || c == ':' || static_cast<unsigned char>(c) >= 0x7f) return false;
    }
    if (!section.fields.empty()) label += ' ';
    AppendAString(label, *field);
    section.fields.push_back(std::move(*field));
  } while (in.space());
  label += ')';
  return in.take(')');
}

// What follows "BODY[" / "BINARY[" up to and including "]".
bool ReadSection(ArgumentReader& in, bool binary, SectionSpec& section, std::string& label) {
  if (in.take(']')) {
    label += ']';
    return true;
  }
  bool textFollows = true;
  if (in.peek() >= '0' && in.peek() <= '9') {
    if (!ReadPart(in, section.part, label)) return false;
    textFollows = !label.empty() && label.back() == '.';
  }
  if (textFollows) {
    if (binary) return false;
    const auto word = in.name();
    if (!word) return false;
    std::string upper(*word);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    label += upper;
    if (upper == "HEADER") section.text = SectionSpec::Text::kHeader;
    else if (upper == "TEXT") section.text = SectionSpec::Text::kText;
    else if (upper == "MIME" && !section.part.empty()) section.text = SectionSpec::Text::kMime;
    else if (upper == "HEADER.FIELDS") section.text = SectionSpec::Text::kHeaderFields;
    else if (upper == "HEADER.FIELDS.NOT") section.text = SectionSpec::Text::kHeaderFieldsNot;
    else return false;
    if ((section.text == SectionSpec::Text::kHeaderFields || section.text == SectionSpec::Text::kHeaderFieldsNot) &&
        !ReadHeaderList(in, section, label)) {
      return false;
    }
  }
  label += ']';
  return in.take(']');
}

bool ReadPartial(ArgumentReader& in, FetchItem& item) {
  if (!in.take('<')) return true;
  const auto origin = in.number();
  if (!origin || !in.take('.')) return false;
  const auto count = in.nonZero();
  if (!count || !in.take('>')) return false;
  item.partial = std::make_pair(*origin, *count);
  return true;
}

std::optional<FetchItem> ReadSectionItem(ArgumentReader& in, Kind kind, bool peek, std::string name) {
  FetchItem item;
  item.kind = kind;
  item.peek = peek;
  item.label = std::move(name) + "[";
  if (!ReadSection(in, kind != Kind::kSection, item.section, item.label)) return std::nullopt;
  if (kind != Kind::kBinarySize && !ReadPartial(in, item)) return std::nullopt;
  return item;
}

std::optional<FetchItem> ReadItem(ArgumentReader& in) {
  const auto word = in.name();
  if (!word) return std::nullopt;
  std::string name(*word);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  const bool bracket = in.take('[');
  if (bracket) {
    if (name == "BODY") return ReadSectionItem(in, Kind::kSection, false, "BODY");
    if (name == "BODY.PEEK") return ReadSectionItem(in, Kind::kSection, true, "BODY");
    if (name == "BINARY") return ReadSectionItem(in, Kind::kBinary, false, "BINARY");
    if (name == "BINARY.PEEK") return ReadSectionItem(in, Kind::kBinary, true, "BINARY");
    if (name == "BINARY.SIZE") return ReadSectionItem(in, Kind::kBinarySize, true, "BINARY.SIZE");
    return std::nullopt;
  }
  if (name == "FLAGS") return Simple(Kind::kFlags, name);
  if (name == "INTERNALDATE") return Simple(Kind::kInternalDate, name);
  if (name == "RFC822.SIZE") return Simple(Kind::kSize, name);
  if (name == "ENVELOPE") return Simple(Kind::kEnvelope, name);
  if (name == "BODY") return Simple(Kind::kBody, name);
  if (name == "BODYSTRUCTURE") return Simple(Kind::kBodyStructure, name);
  if (name == "UID") return Simple(Kind::kUid, name);
  if (name == "MODSEQ") return Simple(Kind::kModseq, name);
  if (name == "RFC822") return WholeSection(SectionSpec::Text::kAll, false, name);
  if (name == "RFC822.HEADER") return WholeSection(SectionSpec::Text::kHeader, true, name);
  if (name == "RFC822.TEXT") return WholeSection(SectionSpec::Text::kText, false, name);
  return std::nullopt;
}

bool ReadMacro(ArgumentReader& in, std::vector<FetchItem>& items) {
  const auto add = [&items](std::initializer_list<Kind> kinds) {
    static constexpr const char* kNames[] = {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY"};
    for (const Kind k : kinds) items.push_back(Simple(k, kNames[static_cast<int>(k)]));
  };
  if (in.keyword("ALL")) add({Kind::kFlags, Kind::kInternalDate, Kind::kSize, Kind::kEnvelope});
  else if (in.keyword("FAST")) add({Kind::kFlags, Kind::kInternalDate, Kind::kSize});
  else if (in.keyword("FULL")) add({Kind::kFlags, Kind::kInternalDate, Kind::kSize, Kind::kEnvelope, Kind::kBody});
  else return false;
  return true;
}

bool ReadModifiers(ArgumentReader& in, FetchRequest& request) {
  if (!in.space()) return in.atEnd();
  if (!in.take('(')) return false;
  do {
    if (in.keyword("CHANGEDSINCE")) {
      if (request.changedSince || !in.space()) return false;
      request.changedSince = in.number64();
      if (!request.changedSince) return false;
    } else if (in.keyword("VANISHED")) {
      if (request.vanished) return false;
      request.vanished = true;
    } else {
      return false;
    }
  } while (in.space());
  return in.take(')') && in.atEnd();
}

}  // namespace

bool FetchRequest::has(Kind kind) const {
  return std::any_of(items.begin(), items.end(), [kind](const FetchItem& i) { return i.kind == kind; });
}

bool FetchRequest::setsSeen() const {
  return std::any_of(items.begin(), items.end(), [](const FetchItem& i) {
    return (i.kind == Kind::kSection || i.kind == Kind::kBinary) && !i.peek;
  });
}

std::optional<FetchRequest> ReadFetchRequest(ArgumentReader& in) {
  FetchRequest request;
  if (in.take('(')) {
    do {
      auto item = ReadItem(in);
      if (!item || request.items.size() == kMaxFetchItems) return std::nullopt;
      request.items.push_back(std::move(*item));
    } while (in.space());
    if (!in.take(')')) return std::nullopt;
  } else if (!ReadMacro(in, request.items)) {
    auto item = ReadItem(in);
    if (!item) return std::nullopt;
    request.items.push_back(std::move(*item));
  }
  if (!ReadModifiers(in, request)) return std::nullopt;
  // VANISHED only with CHANGEDSINCE.
  if (request.vanished && !request.changedSince) return std::nullopt;
  return request;
}

}  // namespace quelma::imap_server
