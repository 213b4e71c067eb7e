// The structured MIME header fields (Content-Type, Content-Disposition): a type, a subtype or
// none, and parameters, read with RFC 2045's tokens, quoted strings and comments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message_structure.h"

namespace quelma::mime {

struct ContentValue {
  std::string type;
  std::string subtype;  // empty for a disposition
  std::vector<MimeParameter> parameters;
};

// "text/plain; charset=koi8-r": nothing when the type or subtype is missing or not a token.
// A parameter that cannot be read is left out with what follows it up to the next ';'.
std::optional<ContentValue> ParseContentType(std::string_view value);
// "attachment; filename=\"a b.txt\"": nothing when the type is not a token.
std::optional<ContentValue> ParseDisposition(std::string_view value);

// A field's value with its line breaks taken out (a folded line's leading white space stays)
// and the white space at both ends trimmed.
std::string Unfold(std::string_view value);

// The value of parameter `name` (any case), if given.
std::optional<std::string> Parameter(const std::vector<MimeParameter>& parameters, std::string_view name);

}  // namespace quelma::mime
