// What FETCH answers for ENVELOPE, BODY and BODYSTRUCTURE, written from a message's stored
// structure (its part tree and envelope fields) without reading the message again.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message_structure.h"

namespace quelma::imap_server {

// The ENVELOPE list's fields, without its parentheses: date, subject, the six address lists (sender and reply-to are from's
// when missing or empty), in-reply-to and message-id. Values stay as written (encoded-words
// are not decoded); `utf8` lets 8-bit UTF-8 values go quoted instead of as literals.
void AppendEnvelope(std::string& out, const mime::MessageEnvelope& e, bool utf8);

// An address header's value as IMAP's address list ((name adl mailbox host) ...), NIL when it
// names no address. A group is (NIL NIL "name" NIL) ... (NIL NIL NIL NIL); a part missing from
// an address reads MISSING_MAILBOX or MISSING_DOMAIN, one that cannot be read SYNTAX_ERROR.
void AppendAddressList(std::string& out, const std::optional<std::string>& value, bool utf8);

// The addresses of an address header's value as "mailbox@domain", comments and names left
// out (what SEARCH FROM and the like also match against); groups' members included.
std::vector<std::string> AddressSpecs(std::string_view value);

// BODYSTRUCTURE (`extended`) or BODY (not) of a message or of the part `root` stands for.
void AppendBodyStructure(std::string& out, const mime::MessagePart& root, bool extended, bool utf8);

// A part's parameters as they are answered: RFC 2231 continuations ("name*0", "name*1*")
// joined into one ("name" or "name*"), after the plain parameters in their written order.
std::vector<mime::MimeParameter> JoinedParameters(const std::vector<mime::MimeParameter>& parameters);

// The transfer encoding's first token ("base64" of "base64 (comment)"); empty when none.
std::string_view EncodingToken(const std::optional<std::string>& encoding);

}  // namespace quelma::imap_server
