// Text in the charsets mail arrives in, as Windows-1251 (the code page of the sorter's rules) or
// as UTF-8 (what IMAP searches in).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::platform {

// Stands for every character Windows-1251 has no byte for and every byte sequence that is not
// valid in its charset: a rule pattern never holds it, so such a character never matches and
// never breaks the match of the text around it.
inline constexpr char kUnmappable = '\0';

// `text` in the MIME charset `charset` (name case-insensitive, aliases accepted) as Windows-1251;
// nothing when the charset is not one the program knows. Known: UTF-8, KOI8-R, KOI8-U,
// Windows-1251, Windows-1252, ISO-8859-5, ISO-8859-1, IBM866 and US-ASCII. Each character gives
// one byte and each bad sequence one kUnmappable, so the result is never longer than `text`.
std::optional<std::string> ConvertToCp1251(std::string_view text, std::string_view charset);

// `text` in the MIME charset `charset` (the charsets ConvertToCp1251 knows) as UTF-8; nothing
// when the charset is not one the program knows. Every character keeps its identity, Windows-1251
// or not; each bad sequence (and Windows-1251's unassigned byte 0x98, and a byte above 127 in
// US-ASCII) becomes one U+FFFD.
std::optional<std::string> ConvertToUtf8(std::string_view text, std::string_view charset);

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool IsValidUtf8(std::string_view text);

}  // namespace quelma::platform
