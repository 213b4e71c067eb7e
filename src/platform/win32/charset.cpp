// Charset conversion with the system's code pages: MultiByteToWideChar to UTF-16, then
// WideCharToMultiByte to code page 1251 without "best fit" look-alikes (or UTF-16 to UTF-8).
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "platform/charset.h"
#include "platform/charset_names.h"
#include "platform/cp1251_utf8.h"

namespace quelma::platform::charsets {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;  // Windows-1251 has no byte for it
// Pieces keep every length an int, whatever the input.
constexpr std::size_t kPieceSize = 1 << 16;

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The end of the piece that starts at `start`: never inside a UTF-8 sequence, since a cut just
// before a byte that is not a continuation byte splits neither a sequence nor a bad one.
std::size_t PieceEnd(std::string_view text, std::size_t start, bool utf8) {
  std::size_t end = std::min(text.size(), start + kPieceSize);
  if (!utf8) return end;
  for (int back = 0; back < 3 && end < text.size() && end > start + 1 && IsUtf8Continuation(text[end]); ++back) {
    --end;
  }
  return end;
}

bool AppendWide(UINT codePage, DWORD flags, std::string_view bytes, std::wstring& wide) {
  if (bytes.empty()) return true;
  const std::size_t at = wide.size();
  wide.resize(at + bytes.size());  // no charset gives more UTF-16 units than bytes
  const int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), wide.data() + at,
                                    static_cast<int>(bytes.size()));
  wide.resize(at + static_cast<std::size_t>(std::max(n, 0)));
  return n > 0;
}

// UTF-8 with bad sequences: the valid runs as they are, U+FFFD once for each bad sequence, so
// both platforms count bad sequences alike (Windows' own count differs between versions).
bool AppendUtf8AroundBadSequences(std::string_view bytes, std::wstring& wide) {
  std::size_t runStart = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    const Utf8Sequence sequence = NextUtf8Sequence(bytes.substr(at));
    if (!sequence.valid) {
      if (!AppendWide(CP_UTF8, 0, bytes.substr(runStart, at - runStart), wide)) return false;
      wide.push_back(kReplacement);
      runStart = at + sequence.length;
    }
    at += sequence.length;
  }
  return AppendWide(CP_UTF8, 0, bytes.substr(runStart), wide);
}

std::optional<std::wstring> Decode(std::string_view piece, const CharsetInfo& charset) {
  std::wstring wide;
  if (AppendWide(charset.codePage, MB_ERR_INVALID_CHARS, piece, wide)) return wide;
  if (GetLastError() != ERROR_NO_UNICODE_TRANSLATION) return std::nullopt;  // no such code page
  if (charset.id == Charset::kUtf8) {
    if (!AppendUtf8AroundBadSequences(piece, wide)) return std::nullopt;
  } else if (!AppendWide(charset.codePage, 0, piece, wide)) {  // the code page's own reading
    return std::nullopt;
  }
  return wide;
}

// Windows writes a character outside the BMP as two default characters, one per UTF-16 unit;
// none is in Windows-1251, so each becomes one U+FFFD first, and so does a lone surrogate.
void OneUnitPerCharacter(std::wstring& wide) {
  std::size_t out = 0;
  for (std::size_t in = 0; in < wide.size(); ++in) {
    const wchar_t unit = wide[in];
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (unit <= 0xDBFF && in + 1 < wide.size() && wide[in + 1] >= 0xDC00 && wide[in + 1] <= 0xDFFF) ++in;
      wide[out++] = kReplacement;
    } else {
      wide[out++] = unit;
    }
  }
  wide.resize(out);
}

// One byte per UTF-16 unit. A character without a byte becomes the default "?", told apart from
// a real "?" by its unit; the common case, with none, needs no look at all. Windows also maps
// U+0098 to the code page's one unassigned byte, 0x98, which is no character of it either.
std::optional<std::string> Encode(std::wstring& wide) {
  OneUnitPerCharacter(wide);
  if (wide.empty()) return std::string();
  std::string text(wide.size(), '\0');
  const char defaultChar = '?';
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    text.data(), static_cast<int>(text.size()), &defaultChar, &usedDefault);
  if (n != static_cast<int>(wide.size())) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((usedDefault && text[i] == defaultChar && wide[i] != L'?') || text[i] == '\x98') text[i] = kUnmappable;
  }
  return text;
}

// UTF-16 as UTF-8: a surrogate pair gives its one character, a lone surrogate U+FFFD.
void AppendUtf16AsUtf8(const std::wstring& wide, std::string& text) {
  for (std::size_t in = 0; in < wide.size(); ++in) {
    const auto unit = static_cast<std::uint32_t>(wide[in]);
    if (unit < 0xD800 || unit > 0xDFFF) {
      AppendUtf8(text, unit);
    } else if (unit <= 0xDBFF && in + 1 < wide.size() && wide[in + 1] >= 0xDC00 && wide[in + 1] <= 0xDFFF) {
      AppendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (static_cast<std::uint32_t>(wide[in + 1]) - 0xDC00));
      ++in;
    } else {
      AppendUtf8(text, kReplacement);
    }
  }
}

}  // namespace

std::optional<std::string> ConvertToUtf8BySystem(std::string_view text, const CharsetInfo& charset) {
  const bool utf8 = charset.id == Charset::kUtf8;
  std::string result;
  result.reserve(text.size() * 2);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = PieceEnd(text, start, utf8);
    const std::optional<std::wstring> wide = Decode(text.substr(start, end - start), charset);
    if (!wide) return std::nullopt;
    AppendUtf16AsUtf8(*wide, result);
    start = end;
  }
  return result;
}

std::optional<std::string> ConvertBySystem(std::string_view text, const CharsetInfo& charset) {
  const bool utf8 = charset.id == Charset::kUtf8;
  std::string result;
  result.reserve(text.size());
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = PieceEnd(text, start, utf8);
    std::optional<std::wstring> wide = Decode(text.substr(start, end - start), charset);
    if (!wide) return std::nullopt;
    const std::optional<std::string> piece = Encode(*wide);
    if (!piece) return std::nullopt;
    result += *piece;
    start = end;
  }
  return result;
}

}  // namespace quelma::platform::charsets
