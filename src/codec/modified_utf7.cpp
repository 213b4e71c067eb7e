// Modified UTF-7 for IMAP mailbox names.
#include "codec/modified_utf7.h"

#include <cstdint>
#include <vector>

#include "platform/charset.h"
#include "platform/cp1251_utf8.h"

namespace quelma::codec {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool Direct(std::uint32_t c) { return c >= 0x20 && c <= 0x7E; }

int ValueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

// The code points of well-formed UTF-8; nothing otherwise.
std::optional<std::vector<std::uint32_t>> CodePoints(std::string_view utf8) {
  if (!platform::IsValidUtf8(utf8)) return std::nullopt;
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const std::size_t extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    std::uint32_t c = extra == 0 ? b : b & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out.push_back(c);
    i += extra + 1;
  }
  return out;
}

// A run of code points that are not printable ASCII, as "&...-".
void AppendEncoded(std::string& out, const std::vector<std::uint32_t>& run) {
  std::vector<std::uint8_t> bytes;  // UTF-16BE
  for (std::uint32_t c : run) {
    if (c >= 0x10000) {
      const std::uint32_t v = c - 0x10000;
      for (std::uint32_t unit : {0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)}) {
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      }
    } else {
      bytes.push_back(static_cast<std::uint8_t>(c >> 8));
      bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    }
  }
  out.push_back('&');
  std::uint32_t bits = 0;
  int count = 0;
  for (std::uint8_t b : bytes) {
    bits = (bits << 8) | b;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out.push_back(kAlphabet[(bits >> count) & 0x3F]);
    }
  }
  if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
  out.push_back('-');
}

// The UTF-16 units of one "&...-" run's Base64 text; nothing when bits are left over.
std::optional<std::vector<std::uint16_t>> Units(std::string_view base64) {
  std::vector<std::uint16_t> units;
  std::uint32_t bits = 0;
  int count = 0;
  std::vector<std::uint8_t> bytes;
  for (char ch : base64) {
    const int v = ValueOf(ch);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
    }
  }
  // What is left must be fewer than 6 zero bits, and the bytes whole UTF-16 units.
  if (count >= 6 || (bits & ((1u << count) - 1)) != 0 || bytes.size() % 2 != 0 || bytes.empty()) return std::nullopt;
  for (std::size_t i = 0; i < bytes.size(); i += 2) units.push_back(static_cast<std::uint16_t>(bytes[i] << 8 | bytes[i + 1]));
  return units;
}

}  // namespace

std::optional<std::string> ModifiedUtf7Encode(std::string_view utf8) {
  const auto points = CodePoints(utf8);
  if (!points) return std::nullopt;
  std::string out;
  std::vector<std::uint32_t> run;
  for (std::uint32_t c : *points) {
    if (Direct(c)) {
      if (!run.empty()) AppendEncoded(out, run);
      run.clear();
      out += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
    } else {
      run.push_back(c);
    }
  }
  if (!run.empty()) AppendEncoded(out, run);
  return out;
}

std::optional<std::string> ModifiedUtf7Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (!Direct(static_cast<unsigned char>(c))) return std::nullopt;
    if (c != '&') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t end = text.find('-', i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == i + 1) {
      out.push_back('&');
      i = end + 1;
      continue;
    }
    const auto units = Units(text.substr(i + 1, end - i - 1));
    if (!units) return std::nullopt;
    for (std::size_t k = 0; k < units->size(); ++k) {
      std::uint32_t u = (*units)[k];
      if (u >= 0xD800 && u <= 0xDBFF) {
        if (k + 1 >= units->size() || (*units)[k + 1] < 0xDC00 || (*units)[k + 1] > 0xDFFF) return std::nullopt;
        u = 0x10000 + ((u - 0xD800) << 10) + ((*units)[++k] - 0xDC00);
      } else if ((u >= 0xDC00 && u <= 0xDFFF) || Direct(u)) {
        return std::nullopt;  // a lone low surrogate, or printable ASCII that stands for itself
      }
      platform::AppendUtf8(out, u);
    }
    i = end + 1;
    // Two runs side by side would have been one.
    if (i < text.size() && text[i] == '&' && i + 1 < text.size() && text[i + 1] != '-') return std::nullopt;
  }
  return out;
}

}  // namespace quelma::codec
