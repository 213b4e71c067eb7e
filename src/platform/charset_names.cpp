// The charset names and aliases the program knows, and the conversion steps common to all platforms.
#include "platform/charset_names.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/charset.h"
#include "platform/cp1251_utf8.h"
#include "platform/text.h"

namespace quelma::platform {
namespace charsets {
namespace {

constexpr std::array<CharsetInfo, kCharsetCount> kCharsets = {{
    {Charset::kUtf8, "UTF-8", 65001},
    {Charset::kKoi8R, "KOI8-R", 20866},
    {Charset::kKoi8U, "KOI8-U", 21866},
    {Charset::kWindows1251, "CP1251", 1251},
    {Charset::kWindows1252, "CP1252", 1252},
    {Charset::kIso8859_5, "ISO-8859-5", 28595},
    {Charset::kIso8859_1, "ISO-8859-1", 28591},
    {Charset::kIbm866, "IBM866", 866},
    {Charset::kUsAscii, "ASCII", 20127},
}};

struct Alias {
  std::string_view name;
  Charset id;
};

// The IANA names and aliases, and the spellings mail programs are seen to write.
constexpr Alias kAliases[] = {
    {"utf-8", Charset::kUtf8},
    {"utf8", Charset::kUtf8},
    {"koi8-r", Charset::kKoi8R},
    {"koi8r", Charset::kKoi8R},
    {"koi8", Charset::kKoi8R},
    {"cskoi8r", Charset::kKoi8R},
    {"koi8-u", Charset::kKoi8U},
    {"koi8u", Charset::kKoi8U},
    {"cskoi8u", Charset::kKoi8U},
    {"windows-1251", Charset::kWindows1251},
    {"cp1251", Charset::kWindows1251},
    {"cp-1251", Charset::kWindows1251},
    {"x-cp1251", Charset::kWindows1251},
    {"win-1251", Charset::kWindows1251},
    {"win1251", Charset::kWindows1251},
    {"cswindows1251", Charset::kWindows1251},
    {"windows-1252", Charset::kWindows1252},
    {"cp1252", Charset::kWindows1252},
    {"x-cp1252", Charset::kWindows1252},
    {"cswindows1252", Charset::kWindows1252},
    {"iso-8859-5", Charset::kIso8859_5},
    {"iso8859-5", Charset::kIso8859_5},
    {"iso_8859-5", Charset::kIso8859_5},
    {"iso_8859-5:1988", Charset::kIso8859_5},
    {"iso88595", Charset::kIso8859_5},
    {"iso-ir-144", Charset::kIso8859_5},
    {"cyrillic", Charset::kIso8859_5},
    {"csisolatincyrillic", Charset::kIso8859_5},
    {"iso-8859-1", Charset::kIso8859_1},
    {"iso8859-1", Charset::kIso8859_1},
    {"iso_8859-1", Charset::kIso8859_1},
    {"iso_8859-1:1987", Charset::kIso8859_1},
    {"iso88591", Charset::kIso8859_1},
    {"iso-ir-100", Charset::kIso8859_1},
    {"latin1", Charset::kIso8859_1},
    {"l1", Charset::kIso8859_1},
    {"ibm819", Charset::kIso8859_1},
    {"cp819", Charset::kIso8859_1},
    {"csisolatin1", Charset::kIso8859_1},
    {"ibm866", Charset::kIbm866},
    {"cp866", Charset::kIbm866},
    {"866", Charset::kIbm866},
    {"csibm866", Charset::kIbm866},
    {"us-ascii", Charset::kUsAscii},
    {"ascii", Charset::kUsAscii},
    {"us", Charset::kUsAscii},
    {"ansi_x3.4-1968", Charset::kUsAscii},
    {"ansi_x3.4-1986", Charset::kUsAscii},
    {"iso646-us", Charset::kUsAscii},
    {"iso_646.irv:1991", Charset::kUsAscii},
    {"iso-ir-6", Charset::kUsAscii},
    {"ibm367", Charset::kUsAscii},
    {"cp367", Charset::kUsAscii},
    {"csascii", Charset::kUsAscii},
};

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Byte for byte; 0x98 is the one byte the code page leaves unassigned.
std::string Cp1251AsItStands(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\x98', kUnmappable);
  return out;
}

std::string AsciiOnly(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) c = kUnmappable;
  }
  return out;
}

constexpr std::uint32_t kReplacementCharacter = 0xFFFD;

// Valid sequences as they are, one U+FFFD for each bad one.
std::string Utf8WithReplacements(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Sequence sequence = NextUtf8Sequence(text.substr(at));
    if (sequence.valid) {
      out.append(text.substr(at, sequence.length));
    } else {
      AppendUtf8(out, kReplacementCharacter);
    }
    at += sequence.length;
  }
  return out;
}

std::string AsciiToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out.push_back(c);
    } else {
      AppendUtf8(out, kReplacementCharacter);
    }
  }
  return out;
}

}  // namespace

const CharsetInfo* FindCharset(std::string_view name) {
  for (const Alias& alias : kAliases) {
    if (EqualsIgnoreAsciiCase(name, alias.name)) return &kCharsets[static_cast<std::size_t>(alias.id)];
  }
  return nullptr;
}

Utf8Sequence NextUtf8Sequence(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {1, true};
  // How many continuation bytes follow the lead, and the range the first of them must lie in
  // (narrowed after E0, ED, F0 and F4 to exclude overlong forms, surrogates and code points past
  // U+10FFFF).
  std::size_t more = 0;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= more; ++i) {
    if (i >= bytes.size()) return {i, false};
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < low || b > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {more + 1, true};
}

}  // namespace charsets

std::optional<std::string> ConvertToCp1251(std::string_view text, std::string_view charset) {
  const charsets::CharsetInfo* info = charsets::FindCharset(charset);
  if (info == nullptr) return std::nullopt;
  // Every charset the program knows writes ASCII as ASCII: most header text needs no conversion.
  if (charsets::IsAscii(text)) return std::string(text);
  switch (info->id) {
    case charsets::Charset::kWindows1251:
      return charsets::Cp1251AsItStands(text);
    case charsets::Charset::kUsAscii:
      // Windows' code page 20127 would clear the top bit instead of refusing the byte.
      return charsets::AsciiOnly(text);
    default:
      return charsets::ConvertBySystem(text, *info);
  }
}

std::optional<std::string> ConvertToUtf8(std::string_view text, std::string_view charset) {
  const charsets::CharsetInfo* info = charsets::FindCharset(charset);
  if (info == nullptr) return std::nullopt;
  if (charsets::IsAscii(text)) return std::string(text);
  switch (info->id) {
    case charsets::Charset::kUtf8:
      return charsets::Utf8WithReplacements(text);
    case charsets::Charset::kWindows1251:
      return Cp1251ToUtf8(text);  // 0x98 is U+FFFD there
    case charsets::Charset::kUsAscii:
      return charsets::AsciiToUtf8(text);
    default:
      return charsets::ConvertToUtf8BySystem(text, *info);
  }
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const charsets::Utf8Sequence sequence = charsets::NextUtf8Sequence(text.substr(at));
    if (!sequence.valid) return false;
    at += sequence.length;
  }
  return true;
}

}  // namespace quelma::platform
