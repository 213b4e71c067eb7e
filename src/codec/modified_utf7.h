// Mailbox names on the IMAP wire: modified UTF-7 (RFC 3501 section 5.1.3) to and from UTF-8,
// for clients that do not speak UTF-8 names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::codec {

// Printable ASCII but "&" as itself, "&" as "&-", anything else as "&" + the UTF-16 form in
// Base64 with "," for "/" and no padding + "-". Nothing when `utf8` is not well-formed UTF-8.
std::optional<std::string> ModifiedUtf7Encode(std::string_view utf8);

// The UTF-8 name; nothing for a text that is not canonical modified UTF-7 (a character that
// had to be encoded standing bare, an encoded one that need not be, bits left over, a lone
// surrogate, a "&" run without its "-").
std::optional<std::string> ModifiedUtf7Decode(std::string_view text);

}  // namespace quelma::codec
