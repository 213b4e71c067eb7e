// Windows-1251 and ASCII case rules, cuts and hexadecimal digits.
#include "platform/text.h"

#include <array>

namespace quelma::platform {
namespace {

constexpr std::array<unsigned char, 256> MakeCp1251LowerTable() {
  std::array<unsigned char, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<unsigned char>(c + 32);
  for (int c = 0xC0; c <= 0xDF; ++c) table[c] = static_cast<unsigned char>(c + 32);  // А..Я
  // The capitals outside the main block, each with its small letter.
  constexpr unsigned char pairs[][2] = {
      {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E},
      {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA},
      {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const auto& p : pairs) table[p[0]] = p[1];
  return table;
}

constexpr auto kCp1251Lower = MakeCp1251LowerTable();

}  // namespace

char LowerCp1251(char c) {
  return static_cast<char>(kCp1251Lower[static_cast<unsigned char>(c)]);
}

std::string ToLowerCp1251(std::string_view text) {
  std::string out(text);
  LowerCp1251InPlace(out);
  return out;
}

void LowerCp1251InPlace(std::string& text) {
  for (char& c : text) c = LowerCp1251(c);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoreAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Cut(std::string_view text, std::size_t capacity) { return text.substr(0, capacity); }

std::string Printable(std::string_view text, std::size_t capacity) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string shown(Cut(text, capacity));
  for (char& ch : shown) {
    if (static_cast<unsigned char>(ch) < 32 || ch == '\x7f') ch = '?';
  }
  return shown;
}

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

}  // namespace quelma::platform
