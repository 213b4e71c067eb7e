// What a FETCH BODY[section] or BINARY[section] selects in a stored message, planned from its
// part tree: a byte range the session streams from the store, a header to filter, or nothing;
// and the filters that turn those bytes into the answer (header fields, transfer decoding).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap_server/fetch_section.h"
#include "mime/message_structure.h"

namespace quelma::imap_server {

struct SectionPlan {
  enum class Kind {
    kEmpty,         // no such part (or HEADER/TEXT of a part that holds no message): an empty string
    kBytes,         // the message text's bytes [begin, end) as they are
    kHeaderFields,  // the header in [begin, end) through a HeaderFieldFilter of the section's fields
  };
  Kind kind = Kind::kEmpty;
  std::uint64_t begin = 0, end = 0;
  bool operator==(const SectionPlan&) const = default;
};

// The part a list of part numbers names (a non-multipart's part 1 is itself; the numbers after
// a message/rfc822 part's number go into the message it holds); nothing when there is none.
const mime::MessagePart* FindPart(const mime::MessagePart& root, const std::vector<std::uint32_t>& numbers);

SectionPlan PlanSection(const mime::MessagePart& root, const SectionSpec& section);

// Keeps the header fields named (or, with `exclude`, all others) with their folded lines, and
// ends with the empty line (the header's own, else CR LF). Fed in pieces of any size; field
// names are compared ASCII case-blind. Bytes after the header's empty line are ignored.
class HeaderFieldFilter {
 public:
  HeaderFieldFilter(const std::vector<std::string>& fields, bool exclude);
  void feed(std::string_view piece, std::string& out);
  void finish(std::string& out);

 private:
  void decide(std::string& out);

  std::vector<std::string> fields_;
  bool exclude_;
  enum class State { kLineStart, kName, kKeeping, kDropping, kBlankLine, kDone } state_ = State::kLineStart;
  std::string pending_;  // the start of a field line while its name is read (bounded)
  std::string blank_;    // the empty line's bytes so far
  bool continuing_ = false;  // the field being read is kept (so are its folded lines)
};

std::string FilterHeaderFields(std::string_view header, const std::vector<std::string>& fields, bool exclude);

// BINARY[section]: the body of the part named, and how it is decoded.
enum class TransferEncoding { kIdentity, kBase64, kQuotedPrintable, kUnknown };

struct BinaryPlan {
  SectionPlan bytes;  // kEmpty or kBytes
  TransferEncoding encoding = TransferEncoding::kIdentity;
  bool operator==(const BinaryPlan&) const = default;
};

TransferEncoding ClassifyEncoding(const std::optional<std::string>& encoding);
BinaryPlan PlanBinary(const mime::MessagePart& root, const std::vector<std::uint32_t>& numbers);

// Decodes a body given in pieces of any size. Damaged data (a byte outside the base64 alphabet,
// data after the padding, "=" not followed by two hex digits or a line end) stops it: the
// session answers NO [PARSE]. A last base64 group cut short gives the bytes it holds.
class BodyDecoder {
 public:
  explicit BodyDecoder(TransferEncoding encoding) : encoding_(encoding) {}
  bool feed(std::string_view piece, std::string& out);  // false once damaged
  bool finish(std::string& out);
  bool damaged() const { return damaged_; }

 private:
  bool feedBase64(std::string_view piece, std::string& out);
  bool finishBase64(std::string& out);
  bool feedQuotedPrintable(std::string_view piece, std::string& out);
  bool quotedPrintableByte(char c, std::string& out);

  TransferEncoding encoding_;
  bool damaged_ = false;
  std::string group_;  // base64 characters not yet decoded (under a few kilobytes)
  int padding_ = 0;    // base64 "=" seen in the last group
  enum class Qp { kText, kEquals, kHex, kSoftBreak, kSoftCr } qp_ = Qp::kText;
  char firstHex_ = 0;
  std::string blanks_;  // quoted-printable white space that may yet be trailing
  bool cr_ = false;     // a CR held until the next byte says whether it ends a line
};

// A whole body decoded at once; nothing when it is damaged or its encoding unknown.
std::optional<std::string> DecodeBody(std::string_view body, TransferEncoding encoding);

}  // namespace quelma::imap_server
