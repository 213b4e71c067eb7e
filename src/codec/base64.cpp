// Base64 encoder and the decoder with its exact rules for "=" and foreign characters.
#include "codec/base64.h"

#include <array>
#include <cstdint>

namespace quelma::codec {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeValues() {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = 64;
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return values;
}

constexpr auto kValues = MakeValues();

// Shifts are done on 8-bit values: bits pushed out above bit 7 are lost.
char Byte(unsigned value) { return static_cast<char>(static_cast<std::uint8_t>(value)); }

}  // namespace

std::size_t Base64EncodedSize(std::size_t length) { return (length + 2) / 3 * 4; }

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve(Base64EncodedSize(bytes.size()));
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
    const unsigned b2 = static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[b0 >> 2]);
    out.push_back(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    out.push_back(kAlphabet[((b1 & 15) << 2) | (b2 >> 6)]);
    out.push_back(kAlphabet[b2 & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = rest == 2 ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
    out.push_back(kAlphabet[b0 >> 2]);
    out.push_back(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    out.push_back(rest == 2 ? kAlphabet[(b1 & 15) << 2] : '=');
    out.push_back('=');
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  // Past the end of the text a character reads as the terminating zero: value 64.
  auto at = [&](std::size_t i) -> unsigned char {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : '\0';
  };
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const unsigned v1 = kValues[at(i)], v2 = kValues[at(i + 1)];
    const unsigned v3 = kValues[at(i + 2)], v4 = kValues[at(i + 3)];
    out.push_back(Byte((v1 << 2) | ((v2 >> 4) & 3)));
    if (i + 2 >= text.size() || at(i + 2) == '=') break;
    out.push_back(Byte((v2 << 4) | ((v3 >> 2) & 15)));
    if (i + 3 >= text.size() || at(i + 3) == '=') break;
    out.push_back(Byte((v3 << 6) | v4));
  }
  return out;
}


std::optional<std::string> Base64DecodeStrict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    if (kValues[static_cast<unsigned char>(text[i])] == 64) return std::nullopt;
  }
  return Base64Decode(text);
}

std::string Base64UrlEncode(std::string_view bytes) {
  std::string text = Base64Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& ch : text) {
    if (ch == '+') ch = '-';
    if (ch == '/') ch = '_';
  }
  return text;
}

}  // namespace quelma::codec
