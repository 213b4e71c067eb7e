// Atoms, quoted strings and literals on the wire.
#include "imap_server/imap_strings.h"

#include "platform/charset.h"

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

namespace {

bool Quotable(std::string_view text, bool utf8) {
  bool high = false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || c == '\r' || c == '\n') return false;
    if (u >= 0x80) high = true;
  }
  return !high || (utf8 && platform::IsValidUtf8(text));
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
