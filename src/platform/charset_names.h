// The charsets the program knows and the steps every platform's converter shares (private to
// the charset conversion).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::platform::charsets {

enum class Charset { kUtf8, kKoi8R, kKoi8U, kWindows1251, kWindows1252, kIso8859_5, kIso8859_1, kIbm866, kUsAscii };
inline constexpr std::size_t kCharsetCount = 9;

struct CharsetInfo {
  Charset id;
  const char* iconvName;  // glibc's name
  unsigned codePage;      // the Windows code page
};

// Nothing for a name (or alias) the program does not know; case does not matter.
const CharsetInfo* FindCharset(std::string_view name);

// The UTF-8 sequence at the start of `bytes` (not empty): its length when it is whole and valid;
// otherwise the length of its longest start that could still begin a valid one, at least 1, which
// counts as one bad sequence (the Unicode standard's "maximal subpart").
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence NextUtf8Sequence(std::string_view bytes);

// The platform's part: `text` (holding at least one byte above 127) in `charset`, which is neither
// Windows-1251 nor US-ASCII, as Windows-1251 with kUnmappable for each unmappable character and
// each bad sequence; nothing when the system cannot convert from that charset.
std::optional<std::string> ConvertBySystem(std::string_view text, const CharsetInfo& charset);
// The same to UTF-8, with U+FFFD for each bad sequence; `charset` is not UTF-8 either.
std::optional<std::string> ConvertToUtf8BySystem(std::string_view text, const CharsetInfo& charset);

}  // namespace quelma::platform::charsets
