// Sections of a stored message by part number, the HEADER.FIELDS filter, and the transfer
// decoding BINARY answers with; everything streams, so a large body is never held twice.
#include "imap_server/message_sections.h"

#include <algorithm>

#include "codec/base64.h"
#include "imap_server/body_structure.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

using mime::MessagePart;

// A field name longer than this matches no name asked for (the line's start is then passed on
// or dropped unread).
constexpr std::size_t kMaxFieldName = 1000;
// Base64 characters gathered before they are decoded together.
constexpr std::size_t kBase64Batch = 4096;

SectionPlan Range(std::uint64_t begin, std::uint64_t end, SectionPlan::Kind kind = SectionPlan::Kind::kBytes) {
  return {kind, begin, std::max(begin, end)};
}

// The message a part holds: the message itself, or a message/rfc822 part's message.
const MessagePart* HeldMessage(const MessagePart& part, bool isRoot) {
  if (isRoot) return &part;
  if (part.isMessage() && part.parts.size() == 1) return &part.parts.front();
  return nullptr;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

const MessagePart* FindPart(const MessagePart& root, const std::vector<std::uint32_t>& numbers) {
  const MessagePart* part = &root;
  bool message = true;  // `part` is a message: a non-multipart one's part 1 is its body
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::uint32_t n = numbers[i];
    if (part->isMultipart()) {
      if (n == 0 || n > part->parts.size()) return nullptr;
      part = &part->parts[n - 1];
    } else if (n != 1 || !message) {
      return nullptr;
    }
    message = false;
    if (i + 1 < numbers.size() && part->isMessage() && part->parts.size() == 1) {
      part = &part->parts.front();
      message = true;
    }
  }
  return part;
}

SectionPlan PlanSection(const MessagePart& root, const SectionSpec& section) {
  const MessagePart* part = FindPart(root, section.part);
  if (!part) return {};
  using Text = SectionSpec::Text;
  if (section.text == Text::kAll) {
    if (section.part.empty()) return Range(root.headerOffset, root.bodyEnd);
    return Range(part->bodyOffset, part->bodyEnd);
  }
  if (section.text == Text::kMime) {
    if (section.part.empty()) return {};
    return Range(part->headerOffset, part->bodyOffset);
  }
  const MessagePart* message = HeldMessage(*part, section.part.empty());
  if (!message) return {};
  switch (section.text) {
    case Text::kHeader:
      return Range(message->headerOffset, message->bodyOffset);
    case Text::kHeaderFields:
    case Text::kHeaderFieldsNot:
      return Range(message->headerOffset, message->bodyOffset, SectionPlan::Kind::kHeaderFields);
    case Text::kText:
      return Range(message->bodyOffset, message->bodyEnd);
    default:
      return {};
  }
}

// ---- HEADER.FIELDS ----

HeaderFieldFilter::HeaderFieldFilter(const std::vector<std::string>& fields, bool exclude)
    : fields_(fields), exclude_(exclude) {}

void HeaderFieldFilter::decide(std::string& out) {
  std::string_view name(pending_);
  const std::size_t colon = name.find(':');
  name = name.substr(0, colon);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  bool named = false;
  if (colon != std::string_view::npos) {
    for (const std::string& f : fields_) named = named || platform::EqualsIgnoreAsciiCase(f, name);
  }
  state_ = named != exclude_ ? State::kKeeping : State::kDropping;
  if (state_ == State::kKeeping) out += pending_;
  pending_.clear();
}

void HeaderFieldFilter::feed(std::string_view piece, std::string& out) {
  for (std::size_t i = 0; i < piece.size() && state_ != State::kDone; ++i) {
    const char c = piece[i];
    if (state_ == State::kLineStart) {
      if (c == '\r' || c == '\n') {
        state_ = State::kBlankLine;
      } else if (IsBlank(c)) {
        state_ = continuing_ ? State::kKeeping : State::kDropping;
      } else {
        state_ = State::kName;
      }
    }
    switch (state_) {
      case State::kBlankLine:
        blank_ += c;
        if (c == '\n') {
          out += blank_;
          state_ = State::kDone;
        } else if (blank_.size() > 1) {  // a CR not followed by LF: not the empty line
          pending_ = blank_;
          blank_.clear();
          state_ = State::kName;
        }
        break;
      case State::kName:
        pending_ += c;
        if (c == ':' || c == '\n' || pending_.size() > kMaxFieldName) {
          decide(out);
          continuing_ = state_ == State::kKeeping;
          if (c == '\n') state_ = State::kLineStart;
        }
        break;
      case State::kKeeping:
      case State::kDropping:
        if (state_ == State::kKeeping) out += c;
        if (c == '\n') state_ = State::kLineStart;
        break;
      default:
        break;
    }
  }
}

void HeaderFieldFilter::finish(std::string& out) {
  if (state_ == State::kDone) return;
  if (state_ == State::kName) decide(out);
  out += "\r\n";
  state_ = State::kDone;
}

std::string FilterHeaderFields(std::string_view header, const std::vector<std::string>& fields, bool exclude) {
  HeaderFieldFilter filter(fields, exclude);
  std::string out;
  filter.feed(header, out);
  filter.finish(out);
  return out;
}

// ---- BINARY ----

TransferEncoding ClassifyEncoding(const std::optional<std::string>& encoding) {
  const std::string_view token = EncodingToken(encoding);
  if (token.empty()) {
    const bool blank = !encoding || encoding->find_first_not_of(" \t") == std::string::npos;
    return blank ? TransferEncoding::kIdentity : TransferEncoding::kUnknown;
  }
  for (const char* same : {"7bit", "8bit", "binary"}) {
    if (platform::EqualsIgnoreAsciiCase(token, same)) return TransferEncoding::kIdentity;
  }
  if (platform::EqualsIgnoreAsciiCase(token, "base64")) return TransferEncoding::kBase64;
  if (platform::EqualsIgnoreAsciiCase(token, "quoted-printable")) return TransferEncoding::kQuotedPrintable;
  return TransferEncoding::kUnknown;
}

BinaryPlan PlanBinary(const MessagePart& root, const std::vector<std::uint32_t>& numbers) {
  const MessagePart* part = FindPart(root, numbers);
  if (!part) return {};
  if (numbers.empty()) return {Range(root.headerOffset, root.bodyEnd), TransferEncoding::kIdentity};
  return {Range(part->bodyOffset, part->bodyEnd), ClassifyEncoding(part->encoding)};
}

bool BodyDecoder::feed(std::string_view piece, std::string& out) {
  if (damaged_) return false;
  switch (encoding_) {
    case TransferEncoding::kBase64:
      return feedBase64(piece, out);
    case TransferEncoding::kQuotedPrintable:
      return feedQuotedPrintable(piece, out);
    case TransferEncoding::kUnknown:
      damaged_ = true;
      return false;
    default:
      out += piece;
      return true;
  }
}

bool BodyDecoder::finish(std::string& out) {
  if (damaged_) return false;
  if (encoding_ == TransferEncoding::kBase64) return finishBase64(out);
  if (encoding_ == TransferEncoding::kUnknown) {
    damaged_ = true;
    return false;
  }
  if (encoding_ == TransferEncoding::kQuotedPrintable) {
    if (qp_ == Qp::kHex) damaged_ = true;  // "=4" at the end
    if (cr_ && qp_ == Qp::kText) out += blanks_ + '\r';
  }
  return !damaged_;
}

bool BodyDecoder::feedBase64(std::string_view piece, std::string& out) {
  for (const char c : piece) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    const bool groupDone = group_.size() % 4 == 0;
    if (padding_ > 0 && groupDone) return !(damaged_ = true);  // data after the padding
    if (c == '=') {
      if (group_.size() % 4 < 2) return !(damaged_ = true);
      ++padding_;
    } else if (!IsBase64Char(c) || padding_ > 0) {
      return !(damaged_ = true);
    }
    group_ += c;
    if (group_.size() >= kBase64Batch && group_.size() % 4 == 0) {
      out += codec::Base64Decode(group_);
      group_.clear();
      if (padding_ > 0) group_ = "====";  // remembers that the padding was seen
    }
  }
  return true;
}

bool BodyDecoder::finishBase64(std::string& out) {
  std::string rest = group_ == "====" ? std::string() : group_;
  // A last group cut short: what its characters hold, as if it were padded.
  while (!rest.empty() && rest.back() == '=') rest.pop_back();
  const std::size_t whole = rest.size() / 4 * 4;
  if (rest.size() - whole == 1) rest.resize(whole);
  while (rest.size() % 4 != 0) rest += '=';
  out += codec::Base64Decode(rest);
  group_.clear();
  return true;
}

bool BodyDecoder::feedQuotedPrintable(std::string_view piece, std::string& out) {
  for (const char c : piece) {
    if (!quotedPrintableByte(c, out)) return !(damaged_ = true);
  }
  return true;
}

bool BodyDecoder::quotedPrintableByte(char c, std::string& out) {
  switch (qp_) {
    case Qp::kEquals:
      if (platform::IsHexDigit(c)) {
        firstHex_ = c;
        qp_ = Qp::kHex;
        return true;
      }
      if (IsBlank(c)) return (qp_ = Qp::kSoftBreak), true;
      if (c == '\r') return (qp_ = Qp::kSoftCr), true;
      if (c == '\n') return (qp_ = Qp::kText), true;
      return false;
    case Qp::kHex:
      if (!platform::IsHexDigit(c)) return false;
      out += static_cast<char>(platform::HexDigitValue(firstHex_) * 16 + platform::HexDigitValue(c));
      qp_ = Qp::kText;
      return true;
    case Qp::kSoftBreak:
      if (IsBlank(c)) return true;
      if (c == '\r') return (qp_ = Qp::kSoftCr), true;
      if (c == '\n') return (qp_ = Qp::kText), true;
      return false;
    case Qp::kSoftCr:
      qp_ = Qp::kText;
      if (c == '\n') return true;
      break;
    default:
      break;
  }
  if (cr_) {
    cr_ = false;
    if (c == '\n') {
      blanks_.clear();  // white space at a line's end is not the text's
      out += "\r\n";
      return true;
    }
    out += blanks_;
    blanks_.clear();
    out += '\r';
  }
  if (IsBlank(c)) {
    blanks_ += c;
  } else if (c == '\r') {
    cr_ = true;
  } else if (c == '\n') {
    blanks_.clear();
    out += '\n';
  } else {
    out += blanks_;
    blanks_.clear();
    if (c == '=') {
      qp_ = Qp::kEquals;
    } else {
      out += c;
    }
  }
  return true;
}

std::optional<std::string> DecodeBody(std::string_view body, TransferEncoding encoding) {
  BodyDecoder decoder(encoding);
  std::string out;
  if (!decoder.feed(body, out) || !decoder.finish(out)) return std::nullopt;
  return out;
}

}  // namespace quelma::imap_server
