// The structure of one message, read once and kept: the fields an IMAP ENVELOPE is made of,
// and the tree of its MIME parts with each part's header fields, where its header and body lie
// in the message text, and its size in lines; enough to answer ENVELOPE, BODYSTRUCTURE and a
// part's BODY[section] without parsing the message again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::mime {

// Beyond these a message's structure is not followed further: a multipart or message part
// nested deeper is kept as one leaf, and delimiters after the last part allowed are body text.
constexpr std::size_t kMaxDepth = 32;
constexpr std::size_t kMaxParts = 5000;
// Header text kept per part; longer headers keep their first fields (offsets stay exact).
constexpr std::size_t kMaxHeaderKept = 256 * 1024;

struct MimeParameter {
  std::string name;   // as written
  std::string value;  // a quoted string's quotes and escapes taken off
  bool operator==(const MimeParameter&) const = default;
};

// The header fields an ENVELOPE gives, each the field's value unfolded (its line breaks taken
// out) and not decoded; nothing when the message has no such field (the first one counts).
struct MessageEnvelope {
  std::optional<std::string> date, subject, from, sender, replyTo, to, cc, bcc, inReplyTo, messageId;
  bool operator==(const MessageEnvelope&) const = default;
};

struct MessagePart {
  // Content-Type as written; a part without one (or with one that cannot be read) is
  // text/plain with charset us-ascii, or message/rfc822 inside a multipart/digest.
  std::string type = "text";
  std::string subtype = "plain";
  std::vector<MimeParameter> parameters;
  std::optional<std::string> id, description, encoding, md5, language, location;  // unfolded values
  std::optional<std::string> disposition;                                       // its type
  std::vector<MimeParameter> dispositionParameters;
  // Offsets in the message text: where the part's header begins, where its body begins (after
  // the empty line) and ends (before the line break that belongs to the next boundary).
  std::uint64_t headerOffset = 0;
  std::uint64_t bodyOffset = 0;
  std::uint64_t bodyEnd = 0;
  std::uint64_t bodyLines = 0;  // lines of the body, a last line without its line break included
  // The message's own fields: set for the message itself and for the message a message/rfc822
  // part holds.
  std::optional<MessageEnvelope> envelope;
  // A multipart's parts; a message/rfc822 part's one message; empty for any other part (and
  // for a multipart or message/rfc822 nested beyond kMaxDepth).
  std::vector<MessagePart> parts;

  bool isMultipart() const;
  bool isMessage() const;  // message/rfc822 (or message/global) holding a message we follow
  bool operator==(const MessagePart&) const = default;
};

// Reads a message text given in pieces of any size (CR LF or bare LF line ends) and gives its
// structure. Memory stays bounded whatever the input: long lines and headers are cut where
// they are kept, never where they are counted.
class StructureReader {
 public:
  StructureReader();
  ~StructureReader();
  StructureReader(const StructureReader&) = delete;
  StructureReader& operator=(const StructureReader&) = delete;

  void feed(std::string_view piece);
  MessagePart finish();  // after the last piece

 private:
  struct Frame;
  void takeLine(std::uint64_t eol);
  void line(std::string_view kept, std::uint64_t length, std::uint64_t eol);
  bool boundaryLine(std::string_view kept, std::uint64_t length, std::uint64_t eol);
  void headerLine(Frame& frame, std::string_view kept, std::uint64_t length, std::uint64_t eol);
  void headerDone(std::uint64_t bodyOffset);
  void openPart(std::uint64_t at, bool inDigest);
  void closeTop(bool atBoundary);

  std::vector<Frame> stack_;
  MessagePart done_;
  std::string line_;           // the kept start of the line being read
  std::uint64_t lineLength_ = 0;  // its whole length so far
  bool lastWasCr_ = false;        // the last byte fed was a CR
  std::uint64_t offset_ = 0;   // where it begins
  std::uint64_t lineFeeds_ = 0;  // LF bytes before it
  std::size_t partCount_ = 1;
  // The line before: its start, its length without the line break, and that break's length.
  std::uint64_t previousStart_ = 0, previousLength_ = 0, previousEol_ = 0;
  bool hadLine_ = false;
};

// The structure of a whole message text at once.
MessagePart ReadStructure(std::string_view text);

}  // namespace quelma::mime
