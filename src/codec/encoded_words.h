// Header field values as the sorter compares them (unfolded, with encoded-words decoded to Windows-1251)
// and as IMAP SEARCH does (the same, to UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace quelma::codec {

// A header field's value as the sorter compares it: folded lines joined (a line end before a blank or TAB goes,
// the blank stays; the final line end goes too), RFC 2047 encoded-words ("=?charset[*lang]?B|Q?text?=", B and Q,
// either case) decoded to Windows-1251, the blanks between two adjacent encoded-words dropped. A malformed
// word, or one in a charset the program does not know, is kept as written. Plain 8-bit text that is valid UTF-8
// is read as UTF-8; any other plain text is taken as Windows-1251, as it stands.
// The result holds no CR or LF and is never longer than `value`; characters Windows-1251 lacks and
// bad byte sequences are platform::kUnmappable.
std::string DecodeHeaderValue(std::string_view value);

// The same value decoded to UTF-8, as IMAP SEARCH compares it: every character kept, whatever its
// charset; bad sequences are U+FFFD, plain 8-bit text that is not UTF-8 is read as Windows-1251.
std::string DecodeHeaderValueToUtf8(std::string_view value);

// A Windows-1251 text as a header value: as it stands when it is all printable ASCII, else
// B encoded-words of the whole text (each under 76 characters, the next on a folded line).
std::string EncodeHeaderValue(std::string_view cp1251);

}  // namespace quelma::codec
