// Atoms, quoted strings and literals on the wire.
#include "imap_server/imap_strings.h"

#include <cstdint>

namespace quelma::imap_server {

bool IsAtomChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  switch (c) {
    case '(': case ')': case '{': case '%': case '*': case '"': case '\\': case ']':
      return false;
    default:
      return true;
  }
}

bool IsAStringChar(char c) { return c == ']' || IsAtomChar(c); }

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t value = 0, least = 0;
    if ((c & 0xe0) == 0xc0) length = 2, value = c & 0x1f, least = 0x80;
    else if ((c & 0xf0) == 0xe0) length = 3, value = c & 0x0f, least = 0x800;
    else if ((c & 0xf8) == 0xf0) length = 4, value = c & 0x07, least = 0x10000;
    else return false;
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      value = (value << 6) | (next & 0x3f);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

namespace {

bool Quotable(std::string_view text, bool utf8) {
  bool high = false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || c == '\r' || c == '\n') return false;
    if (u >= 0x80) high = true;
  }
  return !high || (utf8 && IsUtf8(text));
}

}  // namespace

void AppendString(std::string& out, std::string_view text, bool utf8) {
  if (!Quotable(text, utf8)) {
    out += '{';
    out += std::to_string(text.size());
    out += "}\r\n";
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendNString(std::string& out, const std::optional<std::string>& text, bool utf8) {
  if (!text) {
    out += "NIL";
    return;
  }
  AppendString(out, *text, utf8);
}

void AppendAString(std::string& out, std::string_view text, bool utf8) {
  bool atom = !text.empty();
  for (const char c : text) atom = atom && IsAStringChar(c);
  // NIL as an atom would read as no value.
  if (atom && !(text.size() == 3 && (text[0] | 0x20) == 'n' && (text[1] | 0x20) == 'i' && (text[2] | 0x20) == 'l')) {
    out += text;
    return;
  }
  AppendString(out, text, utf8);
}

}  // namespace quelma::imap_server
