// The provider's IMAP responses as the client reads them: one whole response at a time (its
// lines and the literals between them), bounded, and its values parsed. A literal the
// session wants elsewhere (a message's text) goes to a sink piece by piece as it comes,
// never into memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/line_receiver.h"

namespace quelma::imap_client {

// One value of a response: an atom or number, a string (quoted or literal), NIL, or a
// parenthesized (or bracketed) list.
struct ImapValue {
  enum class Kind { kAtom, kString, kNil, kList };
  Kind kind = Kind::kAtom;
  std::string text;  // an atom's or string's bytes
  std::vector<ImapValue> items;
  bool streamed = false;  // a literal that went to a sink: `text` is empty
};

struct ImapResponse {
  std::string tag;   // "*", "+" or a command's tag
  std::string text;  // after the tag and its blank; each literal stands as its "{N}"
  std::vector<std::size_t> literalAt;  // where each literal's "{N}" begins in `text`
  std::vector<std::string> literals;   // their bytes; empty for a streamed one
  std::vector<bool> streamed;

  bool untagged() const { return tag == "*"; }
  // "OK", "NO", "BAD", "BYE", "PREAUTH" (upper case) of a status response; else empty.
  std::string status() const;
  // The response code's text inside "[...]" after the status, e.g. "UIDVALIDITY 7"; empty for none.
  std::string code() const;
};

// A sink for one literal: each piece as it comes; false stops the reading (a local fault).
using LiteralSink = std::function<bool(std::string_view piece)>;

class ResponseReader {
 public:
  explicit ResponseReader(net::LineReceiver& lines) : lines_(&lines) {}
  void restart(net::LineReceiver& lines) { lines_ = &lines; }

  enum class Status {
    kResponse,
    kNothing,     // the connection ended before any byte of the response
    kCut,         // it ended part-way
    kTooLarge,    // a line, the text or a kept literal over its bound
    kSinkFailed,  // a sink refused a piece
  };
  // `choose` is asked before each literal with the response's text so far (ending in the
  // literal's "{N}") and its size; a sink it returns takes the literal.
  using ChooseSink = std::function<LiteralSink*(std::string_view before, std::uint64_t size)>;
  Status next(ImapResponse& response, const ChooseSink& choose = {});

  static constexpr std::size_t kMaxLine = 256 * 1024;      // one line of a response
  static constexpr std::size_t kMaxText = 4 << 20;         // a response's text, literals kept included
  static constexpr std::uint64_t kMaxKeptLiteral = 1 << 20;  // a literal held in memory

 private:
  Status readLiteral(std::uint64_t size, LiteralSink* sink, std::string& kept);
  net::LineReceiver* lines_;
};

// The values of `response.text` from `offset` to its end; nothing when they are not well formed
// (unbalanced lists, a literal where none was read, more than 64 lists deep).
std::optional<std::vector<ImapValue>> ParseValues(const ImapResponse& response, std::size_t offset = 0);

// A response's values as a FETCH gives them: the attribute names upper-cased with the value
// that follows each ("BODY[]" with the literal).
struct FetchAttributes {
  std::vector<std::pair<std::string, const ImapValue*>> items;
  const ImapValue* find(std::string_view name) const;
};
FetchAttributes FetchAttributesOf(const ImapValue& list);

// A number in an atom: nothing unless it is all digits and fits 32 bits unsigned (UIDs,
// sequence numbers, UIDVALIDITY); 64 bits for sizes.
std::optional<std::uint32_t> Number32(std::string_view text);
std::optional<std::uint64_t> Number64(std::string_view text);

// An IMAP string for a command: an atom-safe quoted string, or a literal "{N}\r\n" + bytes
// when it holds CR, LF, NUL or 8-bit bytes (the caller sends it whole only after "+" unless
// the server takes LITERAL+; `nonSync` writes "{N+}").
std::string QuotedOrLiteral(std::string_view text, bool nonSync);

}  // namespace quelma::imap_client
