// Structures and sections of a stored message as FETCH gives them.
#include "imap_server/message_text.h"

#include <algorithm>

#include "imap_server/body_structure.h"
#include "imap_server/message_sections.h"

namespace quelma::imap_server {
namespace {

// Texts up to this size are put in the answer at once; larger ones go straight to the client.
constexpr std::uint64_t kHeldWhole = 256 * 1024;

// The bytes [begin, end) of the message text, each piece to `onPiece`; false when the text
// could not be read.
bool ReadRange(spool::Mailbox& box, const spool::IndexedMessage& message, std::uint64_t begin, std::uint64_t end,
               const std::function<bool(std::string_view)>& onPiece) {
  if (begin >= end) return true;
  std::uint64_t at = 0;
  bool sinkFailed = false;
  const auto result = box.readText(message.uid, message.id, [&](std::string_view piece) {
    const std::uint64_t pieceEnd = at + piece.size();
    if (pieceEnd > begin && at < end) {
      const std::uint64_t from = std::max(at, begin) - at;
      const std::uint64_t to = std::min(pieceEnd, end) - at;
      if (!onPiece(piece.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)))) {
        sinkFailed = true;
        return false;
      }
    }
    at = pieceEnd;
    return at < end;
  });
  return !sinkFailed && (result == spool::Mailbox::ReadResult::kWhole || result == spool::Mailbox::ReadResult::kStopped);
}

void AppendLiteralHead(std::string& out, std::uint64_t size, bool binary) {
  out += binary ? "~{" : "{";
  out += std::to_string(size);
  out += "}\r\n";
}

// The window a partial FETCH asks for within `size` bytes.
std::pair<std::uint64_t, std::uint64_t> Window(const FetchItem& item, std::uint64_t size) {
  if (!item.partial) return {0, size};
  const std::uint64_t from = std::min<std::uint64_t>(item.partial->first, size);
  return {from, std::min<std::uint64_t>(size, from + item.partial->second)};
}

std::string Label(const FetchItem& item) {
  return item.label + (item.partial ? "<" + std::to_string(item.partial->first) + ">" : "") + " ";
}

SectionOutcome SendBytes(std::string& out, net::ReplySink& sink, spool::Mailbox& box,
                         const spool::IndexedMessage& message, const FetchItem& item, std::uint64_t begin,
                         std::uint64_t end) {
  const auto [from, to] = Window(item, end - begin);
  out += Label(item);
  AppendLiteralHead(out, to - from, false);
  if (to - from <= kHeldWhole) {
    return ReadRange(box, message, begin + from, begin + to, [&out](std::string_view piece) {
             out += piece;
             return true;
           })
               ? SectionOutcome::kSent
               : SectionOutcome::kUnreadable;
  }
  if (!sink.send(out)) return SectionOutcome::kConnectionFailed;
  out.clear();
  bool failed = false;
  std::uint64_t sent = 0;
  const bool read = ReadRange(box, message, begin + from, begin + to, [&](std::string_view piece) {
    sent += piece.size();
    failed = !sink.send(piece);
    return !failed;
  });
  if (failed) return SectionOutcome::kConnectionFailed;
  // The literal's size was promised: a text that could not be read whole ends the connection.
  return read && sent == to - from ? SectionOutcome::kSent : SectionOutcome::kConnectionFailed;
}

// The decoded body of a BINARY item, whole (its size comes before it).
SectionOutcome Decoded(spool::Mailbox& box, const spool::IndexedMessage& message, const BinaryPlan& plan,
                       std::string& decoded) {
  if (plan.bytes.kind == SectionPlan::Kind::kEmpty) return SectionOutcome::kSent;
  if (plan.encoding == TransferEncoding::kUnknown) return SectionOutcome::kUnknownEncoding;
  BodyDecoder decoder(plan.encoding);
  bool damaged = false;
  const bool read = ReadRange(box, message, plan.bytes.begin, plan.bytes.end, [&](std::string_view piece) {
    damaged = !decoder.feed(piece, decoded);
    return !damaged;
  });
  if (damaged || (read && !decoder.finish(decoded))) return SectionOutcome::kDamaged;
  return read ? SectionOutcome::kSent : SectionOutcome::kUnreadable;
}

}  // namespace

void AppendStructureItem(std::string& out, FetchItem::Kind kind, const mime::MessagePart& root, bool utf8) {
  if (kind == FetchItem::Kind::kEnvelope) {
    out += '(';
    AppendEnvelope(out, root.envelope.value_or(mime::MessageEnvelope{}), utf8);
    out += ')';
  } else {
    AppendBodyStructure(out, root, kind == FetchItem::Kind::kBodyStructure, utf8);
  }
}

SectionOutcome AppendSectionItem(std::string& out, net::ReplySink& sink, spool::Mailbox& box,
                                 const spool::IndexedMessage& message, const mime::MessagePart& root,
                                 const FetchItem& item) {
  if (item.kind == FetchItem::Kind::kSection) {
    const SectionPlan plan = PlanSection(root, item.section);
    if (plan.kind == SectionPlan::Kind::kBytes) return SendBytes(out, sink, box, message, item, plan.begin, plan.end);
    std::string text;
    if (plan.kind == SectionPlan::Kind::kHeaderFields) {
      HeaderFieldFilter filter(item.section.fields, item.section.text == SectionSpec::Text::kHeaderFieldsNot);
      if (!ReadRange(box, message, plan.begin, plan.end, [&](std::string_view piece) {
            filter.feed(piece, text);
            return true;
          })) {
        return SectionOutcome::kUnreadable;
      }
      filter.finish(text);
    }
    const auto [from, to] = Window(item, text.size());
    out += Label(item);
    AppendLiteralHead(out, to - from, false);
    out.append(text, static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
    return SectionOutcome::kSent;
  }
  std::string decoded;
  const SectionOutcome outcome = Decoded(box, message, PlanBinary(root, item.section.part), decoded);
  if (outcome != SectionOutcome::kSent) return outcome;
  if (item.kind == FetchItem::Kind::kBinarySize) {
    out += item.label + " " + std::to_string(decoded.size());
    return SectionOutcome::kSent;
  }
  const auto [from, to] = Window(item, decoded.size());
  const std::string_view bytes = std::string_view(decoded).substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
  out += Label(item);
  AppendLiteralHead(out, bytes.size(), bytes.find('\0') != std::string_view::npos);
  out += bytes;
  return SectionOutcome::kSent;
}

}  // namespace quelma::imap_server
