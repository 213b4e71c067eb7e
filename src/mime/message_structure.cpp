// Reads a message's MIME structure line by line: each part's header fields, the boundaries of
// every multipart it is inside (an outer boundary also ends the parts within), the message a
// message/rfc822 part holds, and the offsets and line counts IMAP answers with.
#include "mime/message_structure.h"

#include <algorithm>

#include "mime/content_fields.h"
#include "platform/text.h"

namespace quelma::mime {
namespace {

constexpr std::size_t kMaxLineKept = 64 * 1024;

bool IsMultipartType(std::string_view type) { return platform::EqualsIgnoreAsciiCase(type, "multipart"); }

bool IsMessageType(std::string_view type, std::string_view subtype) {
  return platform::EqualsIgnoreAsciiCase(type, "message") && (platform::EqualsIgnoreAsciiCase(subtype, "rfc822") || platform::EqualsIgnoreAsciiCase(subtype, "global"));
}

// A message/rfc822 part is followed into only when its body is the message as it stands.
bool IsEncodedBody(const std::optional<std::string>& encoding) {
  return encoding && (platform::EqualsIgnoreAsciiCase(*encoding, "base64") || platform::EqualsIgnoreAsciiCase(*encoding, "quoted-printable"));
}

struct Field {
  std::string_view name;
  std::string value;  // its lines as kept, their breaks taken out
};

// The fields of a kept header text (lines ending in LF); a line that is neither a field nor a
// continuation says nothing and is passed over.
std::vector<Field> Fields(std::string_view header) {
  std::vector<Field> out;
  bool continuing = false;
  while (!header.empty()) {
    const std::size_t end = header.find('\n');
    const std::string_view line = header.substr(0, end);
    header.remove_prefix(end == std::string_view::npos ? header.size() : end + 1);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (continuing) out.back().value += line;
      continue;
    }
    const std::size_t colon = line.find(':');
    continuing = colon != std::string_view::npos && colon > 0;
    if (!continuing) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    out.push_back({name, std::string(line.substr(colon + 1))});
  }
  return out;
}

void TakeFirst(std::optional<std::string>& into, const std::string& value) {
  if (!into) into = Unfold(value);
}

template <typename Object>
struct NamedText {
  std::string_view name;
  std::optional<std::string> Object::*field;
};

// The first field of each name in `table` taken into `object`; false when `f` is none of them.
template <typename Object, std::size_t N>
bool TakeNamed(Object& object, const NamedText<Object> (&table)[N], const Field& f) {
  for (const NamedText<Object>& k : table) {
    if (platform::EqualsIgnoreAsciiCase(f.name, k.name)) {
      TakeFirst(object.*k.field, f.value);
      return true;
    }
  }
  return false;
}

constexpr NamedText<MessageEnvelope> kEnvelopeFields[] = {
    {"date", &MessageEnvelope::date},       {"subject", &MessageEnvelope::subject},
    {"from", &MessageEnvelope::from},       {"sender", &MessageEnvelope::sender},
    {"reply-to", &MessageEnvelope::replyTo}, {"to", &MessageEnvelope::to},
    {"cc", &MessageEnvelope::cc},           {"bcc", &MessageEnvelope::bcc},
    {"in-reply-to", &MessageEnvelope::inReplyTo}, {"message-id", &MessageEnvelope::messageId}};

constexpr NamedText<MessagePart> kPartFields[] = {
    {"content-transfer-encoding", &MessagePart::encoding}, {"content-id", &MessagePart::id},
    {"content-description", &MessagePart::description},    {"content-md5", &MessagePart::md5},
    {"content-language", &MessagePart::language},          {"content-location", &MessagePart::location}};

// A part that began where its parent's body ends (the message of a message/rfc822 part whose
// header's empty line was the break a boundary takes): it ends there too, empty.
void ClampInto(MessagePart& part, std::uint64_t end) {
  if (part.bodyEnd <= end) return;
  part.headerOffset = std::min(part.headerOffset, end);
  part.bodyOffset = std::min(part.bodyOffset, end);
  part.bodyEnd = end;
  if (part.bodyOffset == part.bodyEnd) part.bodyLines = 0;
  for (MessagePart& child : part.parts) ClampInto(child, end);
}

}  // namespace

bool MessagePart::isMultipart() const { return IsMultipartType(type); }
bool MessagePart::isMessage() const { return IsMessageType(type, subtype); }

struct StructureReader::Frame {
  enum class State { kHeader, kBody, kPreamble, kParts, kEpilogue, kMessage };
  MessagePart part;
  State state = State::kHeader;
  bool inDigest = false;       // a part without Content-Type is a message
  bool wantsEnvelope = false;  // the header of a message, not of a part
  std::string header;          // the header's lines as kept, each ending in LF
  std::string boundary;        // a multipart's, while its parts are read
  std::uint64_t lineFeedsAtBody = 0;

  void readHeader();
};

void StructureReader::Frame::readHeader() {
  bool typed = false, disposed = false;
  for (const Field& f : Fields(header)) {
    if (platform::EqualsIgnoreAsciiCase(f.name, "content-type") && !typed) {
      typed = true;
      if (auto value = ParseContentType(f.value)) {
        part.type = std::move(value->type);
        part.subtype = std::move(value->subtype);
        part.parameters = std::move(value->parameters);
      } else {
        typed = false;  // unreadable: the default stands
      }
    } else if (platform::EqualsIgnoreAsciiCase(f.name, "content-disposition") && !disposed) {
      disposed = true;
      if (auto value = ParseDisposition(f.value)) {
        part.disposition = std::move(value->type);
        part.dispositionParameters = std::move(value->parameters);
      }
    } else if (!TakeNamed(part, kPartFields, f) && wantsEnvelope) {
      TakeNamed(*part.envelope, kEnvelopeFields, f);
    }
  }
  if (!typed && inDigest) {
    part.type = "message";
    part.subtype = "rfc822";
  } else if (!typed) {
    part.parameters = {{"charset", "us-ascii"}};
  }
  header.clear();
  header.shrink_to_fit();
}

StructureReader::StructureReader() {
  stack_.reserve(kMaxDepth + 1);
  openPart(0, false);
  stack_.back().wantsEnvelope = true;
  stack_.back().part.envelope.emplace();
  partCount_ = 1;
}

StructureReader::~StructureReader() = default;

void StructureReader::feed(std::string_view piece) {
  while (!piece.empty()) {
    const std::size_t lf = piece.find('\n');
    const std::size_t take = lf == std::string_view::npos ? piece.size() : lf + 1;
    const std::string_view chunk = piece.substr(0, take);
    if (line_.size() < kMaxLineKept) line_.append(chunk.substr(0, kMaxLineKept - line_.size()));
    const bool crBefore = lf == std::string_view::npos ? false : (lf > 0 ? piece[lf - 1] == '\r' : lastWasCr_);
    lastWasCr_ = chunk.back() == '\r';
    lineLength_ += take;
    piece.remove_prefix(take);
    if (lf != std::string_view::npos) takeLine(crBefore ? 2 : 1);
  }
}

void StructureReader::takeLine(std::uint64_t eol) {
  const std::uint64_t length = lineLength_ - eol;
  std::string_view kept(line_);
  if (kept.size() > length) kept = kept.substr(0, static_cast<std::size_t>(length));
  line(kept, length, eol);
  line_.clear();
  lineLength_ = 0;
}

void StructureReader::line(std::string_view kept, std::uint64_t length, std::uint64_t eol) {
  if (!boundaryLine(kept, length, eol)) {
    Frame& top = stack_.back();
    if (top.state == Frame::State::kHeader) headerLine(top, kept, length, eol);
  }
  previousStart_ = offset_;
  previousLength_ = length;
  previousEol_ = eol;
  hadLine_ = true;
  if (eol > 0) ++lineFeeds_;
  offset_ += length + eol;
}

bool StructureReader::boundaryLine(std::string_view kept, std::uint64_t length, std::uint64_t eol) {
  if (length < 3 || kept.size() < length || kept[0] != '-' || kept[1] != '-') return false;
  for (std::size_t i = stack_.size(); i-- > 0;) {
    Frame& f = stack_[i];
    if (f.boundary.empty() || f.state == Frame::State::kEpilogue) continue;
    std::string_view rest = kept.substr(2);
    if (rest.substr(0, f.boundary.size()) != f.boundary) continue;
    rest.remove_prefix(f.boundary.size());
    const bool close = rest.substr(0, 2) == "--";
    if (close) rest.remove_prefix(2);
    if (rest.find_first_not_of(" \t") != std::string_view::npos) continue;
    if (!close && partCount_ >= kMaxParts) return false;  // one part too many: body text
    while (stack_.size() > i + 1) closeTop(true);
    if (close) {
      f.state = Frame::State::kEpilogue;
    } else {
      f.state = Frame::State::kParts;
      openPart(offset_ + length + eol, IsMultipartType(f.part.type) && platform::EqualsIgnoreAsciiCase(f.part.subtype, "digest"));
    }
    return true;
  }
  return false;
}

void StructureReader::headerLine(Frame& frame, std::string_view kept, std::uint64_t length, std::uint64_t eol) {
  if (length == 0) {
    headerDone(offset_ + eol);
    return;
  }
  if (frame.header.size() < kMaxHeaderKept) {
    frame.header.append(kept.substr(0, kMaxHeaderKept - frame.header.size()));
    frame.header.push_back('\n');
  }
}

void StructureReader::headerDone(std::uint64_t bodyOffset) {
  Frame& f = stack_.back();
  f.readHeader();
  f.part.bodyOffset = bodyOffset;
  f.lineFeedsAtBody = lineFeeds_ + 1;  // the empty line's own
  const bool room = stack_.size() < kMaxDepth;
  const std::optional<std::string> boundary = Parameter(f.part.parameters, "boundary");
  if (room && f.part.isMultipart() && boundary && !boundary->empty() && boundary->size() < kMaxLineKept / 2) {
    f.boundary = *boundary;
    f.state = Frame::State::kPreamble;
  } else if (room && f.part.isMessage() && !IsEncodedBody(f.part.encoding)) {
    f.state = Frame::State::kMessage;
    openPart(bodyOffset, false);
    stack_.back().wantsEnvelope = true;
    stack_.back().part.envelope.emplace();
  } else {
    f.state = Frame::State::kBody;
  }
}

void StructureReader::openPart(std::uint64_t at, bool inDigest) {
  Frame f;
  f.part.headerOffset = at;
  f.inDigest = inDigest;
  stack_.push_back(std::move(f));
  ++partCount_;
}

void StructureReader::closeTop(bool atBoundary) {
  Frame& f = stack_.back();
  MessagePart& part = f.part;
  // The line break before a boundary belongs to the boundary: every part the boundary ends
  // ends before it (and a header whose empty line is that break ends there too).
  const bool pulled = atBoundary && hadLine_ && previousEol_ > 0 && offset_ - previousEol_ >= part.headerOffset;
  const std::uint64_t end = pulled ? offset_ - previousEol_ : offset_;
  if (f.state == Frame::State::kHeader) {
    f.readHeader();  // the header never ended: all of it is header, the body is empty
    part.bodyOffset = end;
  }
  if (part.bodyOffset > end) part.bodyOffset = end;
  part.bodyEnd = end;
  part.bodyLines = 0;
  if (end > part.bodyOffset) {
    const std::uint64_t feeds = pulled ? lineFeeds_ - 1 : lineFeeds_;
    const bool endsInLineFeed =
        pulled ? previousLength_ == 0 && previousStart_ > part.bodyOffset : hadLine_ && previousEol_ > 0;
    part.bodyLines = feeds - f.lineFeedsAtBody + (endsInLineFeed ? 0 : 1);
  }
  if (!part.parts.empty()) ClampInto(part.parts.back(), end);
  MessagePart finished = std::move(part);
  stack_.pop_back();
  if (stack_.empty()) {
    done_ = std::move(finished);
  } else {
    stack_.back().part.parts.push_back(std::move(finished));
  }
}

MessagePart StructureReader::finish() {
  if (lineLength_ > 0) takeLine(0);
  while (!stack_.empty()) closeTop(false);
  return std::move(done_);
}

MessagePart ReadStructure(std::string_view text) {
  StructureReader reader;
  reader.feed(text);
  return reader.finish();
}

}  // namespace quelma::mime
