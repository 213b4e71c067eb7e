// Base64 with the standard alphabet, for the ESMTP authentication exchanges.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::codec {

// 4 * ceil(n / 3) characters, "=" padded, on one line; zero bytes are encoded like any other.
std::string Base64Encode(std::string_view bytes);

// Decodes in groups of four. Characters outside the alphabet are not skipped: they count as
// the value 64 and give bytes of no meaning. A group ends early at "=" in its third or fourth
// place, and decoding stops there. The text ends at its first NUL, as a C string would.
std::string Base64Decode(std::string_view text);

std::size_t Base64EncodedSize(std::size_t length);

// The URL-safe alphabet ("-" and "_" for "+" and "/") without padding, as PKCE and the OAuth
// state use it (RFC 4648 section 5).
std::string Base64UrlEncode(std::string_view bytes);

// What a peer sent: only whole groups of the alphabet, "=" only as the last one or two
// characters; nothing for any other text (an empty text is empty bytes).
std::optional<std::string> Base64DecodeStrict(std::string_view text);

}  // namespace quelma::codec
