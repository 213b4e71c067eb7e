// The summary's byte form: a version byte, then the parts depth first, numbers as LEB128
// varints, texts with their length before them, an absent value as one zero byte.
#include "mime/structure_codec.h"

namespace quelma::mime {
namespace {

constexpr char kVersion = 1;
constexpr std::size_t kMaxList = 1 << 16;

using OptionalText = std::optional<std::string> MessagePart::*;
using EnvelopeText = std::optional<std::string> MessageEnvelope::*;

constexpr OptionalText kPartTexts[] = {&MessagePart::id,       &MessagePart::description, &MessagePart::encoding,
                                       &MessagePart::md5,      &MessagePart::language,    &MessagePart::location,
                                       &MessagePart::disposition};
constexpr EnvelopeText kEnvelopeTexts[] = {
    &MessageEnvelope::date, &MessageEnvelope::subject, &MessageEnvelope::from,      &MessageEnvelope::sender,
    &MessageEnvelope::replyTo, &MessageEnvelope::to,   &MessageEnvelope::cc,        &MessageEnvelope::bcc,
    &MessageEnvelope::inReplyTo, &MessageEnvelope::messageId};

void PutNumber(std::string& out, std::uint64_t n) {
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7F) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
}

void PutText(std::string& out, std::string_view text) {
  PutNumber(out, text.size());
  out += text;
}

void PutOptional(std::string& out, const std::optional<std::string>& text) {
  if (!text) {
    out.push_back(0);
    return;
  }
  out.push_back(1);
  PutText(out, *text);
}

void PutParameters(std::string& out, const std::vector<MimeParameter>& parameters) {
  PutNumber(out, parameters.size());
  for (const MimeParameter& p : parameters) {
    PutText(out, p.name);
    PutText(out, p.value);
  }
}

void PutPart(std::string& out, const MessagePart& part) {
  PutText(out, part.type);
  PutText(out, part.subtype);
  PutParameters(out, part.parameters);
  for (const OptionalText text : kPartTexts) PutOptional(out, part.*text);
  PutParameters(out, part.dispositionParameters);
  PutNumber(out, part.headerOffset);
  PutNumber(out, part.bodyOffset - part.headerOffset);
  PutNumber(out, part.bodyEnd - part.bodyOffset);
  PutNumber(out, part.bodyLines);
  out.push_back(part.envelope ? 1 : 0);
  if (part.envelope) {
    for (const EnvelopeText text : kEnvelopeTexts) PutOptional(out, (*part.envelope).*text);
  }
  PutNumber(out, part.parts.size());
  for (const MessagePart& child : part.parts) PutPart(out, child);
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool number(std::uint64_t& n) {
    n = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (bytes_.empty()) return false;
      const auto b = static_cast<unsigned char>(bytes_.front());
      bytes_.remove_prefix(1);
      n |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return shift < 63 || b <= 1;
    }
    return false;
  }

  bool text(std::string& out) {
    std::uint64_t n = 0;
    if (!number(n) || n > bytes_.size()) return false;
    out.assign(bytes_.substr(0, static_cast<std::size_t>(n)));
    bytes_.remove_prefix(static_cast<std::size_t>(n));
    return true;
  }

  bool optional(std::optional<std::string>& out) {
    if (bytes_.empty()) return false;
    const char present = bytes_.front();
    bytes_.remove_prefix(1);
    if (present == 0) {
      out.reset();
      return true;
    }
    return present == 1 && text(out.emplace());
  }

  bool parameters(std::vector<MimeParameter>& out) {
    std::uint64_t n = 0;
    if (!number(n) || n > kMaxList) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      MimeParameter p;
      if (!text(p.name) || !text(p.value)) return false;
      out.push_back(std::move(p));
    }
    return true;
  }

  bool part(MessagePart& out, std::size_t depth, std::size_t& count) {
    if (depth > kMaxDepth || ++count > kMaxParts) return false;
    out.parameters.clear();
    if (!text(out.type) || !text(out.subtype) || !parameters(out.parameters)) return false;
    for (const OptionalText t : kPartTexts) {
      if (!optional(out.*t)) return false;
    }
    std::uint64_t headerSize = 0, bodySize = 0;
    if (!parameters(out.dispositionParameters) || !number(out.headerOffset) || !number(headerSize) ||
        !number(bodySize) || !number(out.bodyLines)) {
      return false;
    }
    out.bodyOffset = out.headerOffset + headerSize;
    out.bodyEnd = out.bodyOffset + bodySize;
    if (out.bodyOffset < out.headerOffset || out.bodyEnd < out.bodyOffset) return false;  // wrapped
    if (bytes_.empty() || static_cast<unsigned char>(bytes_.front()) > 1) return false;
    const bool hasEnvelope = bytes_.front() == 1;
    bytes_.remove_prefix(1);
    if (hasEnvelope) {
      MessageEnvelope& e = out.envelope.emplace();
      for (const EnvelopeText t : kEnvelopeTexts) {
        if (!optional(e.*t)) return false;
      }
    }
    std::uint64_t n = 0;
    if (!number(n) || n > kMaxParts) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (!part(out.parts.emplace_back(), depth + 1, count)) return false;
    }
    return true;
  }

  bool atEnd() const { return bytes_.empty(); }

 private:
  std::string_view bytes_;
};

}  // namespace

std::string EncodeStructure(const MessagePart& message) {
  std::string out(1, kVersion);
  PutPart(out, message);
  return out;
}

std::optional<MessagePart> DecodeStructure(std::string_view bytes) {
  if (bytes.empty() || bytes.front() != kVersion) return std::nullopt;
  Reader reader(bytes.substr(1));
  MessagePart message;
  std::size_t count = 0;
  if (!reader.part(message, 1, count) || !reader.atEnd()) return std::nullopt;
  return message;
}

}  // namespace quelma::mime
