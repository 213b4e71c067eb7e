// Case folding, the piecewise finder, and a body part's text as SEARCH reads it.
#include "imap_server/search_text.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/charset.h"
#include "platform/cp1251_utf8.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

constexpr std::size_t kPieceSize = 64 * 1024;  // of the body, decoded and compared at a time

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the UTF-8 sequence a lead byte starts and its payload bits; 0 for a byte that
// starts none.
std::size_t SequenceLength(unsigned char lead, std::uint32_t& bits) {
  if (lead >= 0xC2 && lead <= 0xDF) {
    bits = lead & 0x1Fu;
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    bits = lead & 0x0Fu;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    bits = lead & 0x07u;
    return 4;
  }
  return 0;
}

// The code point of the whole sequence at the start of `bytes`; nothing for an invalid one.
std::optional<std::uint32_t> DecodeSequence(std::string_view bytes, std::size_t length, std::uint32_t bits) {
  std::uint32_t cp = bits;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (!IsContinuation(c)) return std::nullopt;
    cp = cp << 6 | (c & 0x3Fu);
  }
  if ((length == 3 && cp < 0x800) || (cp >= 0xD800 && cp <= 0xDFFF) ||
      (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return std::nullopt;
  }
  return cp;
}

// The bytes at `at` are the start of a sequence the end of the text cut.
bool IsCutSequence(std::string_view text, std::size_t at, std::size_t length) {
  if (at + length <= text.size()) return false;
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (!IsContinuation(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// The text without a sequence its end cuts.
std::string_view WholeSequences(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    std::uint32_t bits = 0;
    const std::size_t at = text.size() - back;
    const std::size_t length = SequenceLength(static_cast<unsigned char>(text[at]), bits);
    if (length > 0) return length > back ? text.substr(0, at) : text;
    if (!IsContinuation(static_cast<unsigned char>(text[at]))) return text;
  }
  return text;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Where the piece of the body from `start` ends: after a line end when one lies in its second
// half, else before an "=" close to the end, so a quoted-printable escape is not cut.
std::size_t PieceEnd(std::string_view body, std::size_t start) {
  if (body.size() - start <= kPieceSize) return body.size();
  const std::size_t lineEnd = body.substr(start, kPieceSize).rfind('\n');
  if (lineEnd != std::string_view::npos && lineEnd >= kPieceSize / 2) return start + lineEnd + 1;
  std::size_t end = start + kPieceSize;
  for (int i = 0; i < 2 && (body[end - 1] == '=' || body[end - 2] == '='); ++i) --end;
  return end;
}

// Base64 with every character outside the alphabet skipped; "=" ends a quantum.
class Base64Decoder {
 public:
  void decode(std::string_view piece, std::string& out) {
    out.reserve(out.size() + piece.size() / 4 * 3 + 3);
    for (const char c : piece) {
      const int value = Value(c);
      if (value >= 0) {
        bits_ = bits_ << 6 | static_cast<std::uint32_t>(value);
        if (++count_ == 4) {
          out.push_back(static_cast<char>(bits_ >> 16));
          out.push_back(static_cast<char>(bits_ >> 8));
          out.push_back(static_cast<char>(bits_));
          bits_ = 0;
          count_ = 0;
        }
      } else if (c == '=') {
        flush(out);
      }
    }
  }
  // Two or three characters left make one or two bytes; one makes none.
  void flush(std::string& out) {
    if (count_ >= 2) out.push_back(static_cast<char>(bits_ >> (count_ * 6 - 8)));
    if (count_ == 3) out.push_back(static_cast<char>(bits_ >> 2));
    bits_ = 0;
    count_ = 0;
  }

 private:
  static int Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  }
  std::uint32_t bits_ = 0;
  int count_ = 0;
};

// Quoted-printable: "=XX" is its byte, "=" at a line's end joins the lines, any other "=" stays.
void DecodeQuotedPrintable(std::string_view piece, std::string& out) {
  for (std::size_t at = 0; at < piece.size(); ++at) {
    const char c = piece[at];
    if (c != '=') {
      out.push_back(c);
    } else if (at + 1 < piece.size() && piece[at + 1] == '\n') {
      at += 1;
    } else if (at + 2 < piece.size() && piece[at + 1] == '\r' && piece[at + 2] == '\n') {
      at += 2;
    } else if (at + 2 < piece.size() && platform::IsHexDigit(piece[at + 1]) && platform::IsHexDigit(piece[at + 2])) {
      out.push_back(
          static_cast<char>(platform::HexDigitValue(piece[at + 1]) * 16 + platform::HexDigitValue(piece[at + 2])));
      at += 2;
    } else {
      out.push_back(c);
    }
  }
}

enum class Encoding { kAsIs, kBase64, kQuotedPrintable };

Encoding EncodingOf(const mime::MessagePart& part) {
  if (!part.encoding) return Encoding::kAsIs;
  const std::string_view name = *part.encoding;
  if (platform::EqualsIgnoreAsciiCase(name, "base64")) return Encoding::kBase64;
  if (platform::EqualsIgnoreAsciiCase(name, "quoted-printable")) return Encoding::kQuotedPrintable;
  return Encoding::kAsIs;
}

// How the decoded bytes become UTF-8: as they are (UTF-8), converted from a charset the
// program knows, or guessed piece by piece (no charset, US-ASCII with 8-bit bytes, or one the
// program does not know).
struct TextCharset {
  enum class Kind { kUtf8, kKnown, kGuess } kind = Kind::kGuess;
  std::string name;
};

TextCharset CharsetOf(const mime::MessagePart& part) {
  for (const mime::MimeParameter& parameter : part.parameters) {
    if (!platform::EqualsIgnoreAsciiCase(parameter.name, "charset")) continue;
    const std::string& name = parameter.value;
    if (platform::EqualsIgnoreAsciiCase(name, "utf-8") || platform::EqualsIgnoreAsciiCase(name, "utf8")) {
      return {TextCharset::Kind::kUtf8, name};
    }
    const bool ascii =
        platform::EqualsIgnoreAsciiCase(name, "us-ascii") || platform::EqualsIgnoreAsciiCase(name, "ascii");
    if (!ascii && platform::ConvertToUtf8("", name)) return {TextCharset::Kind::kKnown, name};
    break;
  }
  return {};
}

// Each byte of a single-byte charset as folded UTF-8. Every charset the program knows but UTF-8
// gives one character per byte, so a body converts and folds through one table.
using ByteTable = std::array<std::string, 256>;

}  // namespace

std::uint32_t FoldCodePoint(std::uint32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
  if (cp < 0x100) {
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 32;
    return cp == 0xB5 ? 0x3BC : cp;  // the micro sign is Greek mu
  }
  if (cp < 0x180) {  // Latin Extended-A: capital and small letters in pairs
    if (cp == 0x130) return 'i';
    if (cp == 0x178) return 0xFF;
    if (cp == 0x17F) return 's';
    if ((cp <= 0x137 && cp != 0x131) || (cp >= 0x14A && cp <= 0x177)) return cp | 1;
    if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) return cp % 2 == 1 ? cp + 1 : cp;
    return cp;
  }
  if (cp >= 0x370 && cp < 0x400) {  // Greek
    if (cp == 0x386) return 0x3AC;
    if (cp >= 0x388 && cp <= 0x38A) return cp + 37;
    if (cp == 0x38C) return 0x3CC;
    if (cp == 0x38E || cp == 0x38F) return cp + 63;
    if ((cp >= 0x391 && cp <= 0x3A1) || (cp >= 0x3A3 && cp <= 0x3AB)) return cp + 32;
    if (cp == 0x3C2) return 0x3C3;  // final sigma
    return cp;
  }
  if (cp >= 0x400 && cp < 0x530) {  // Cyrillic and its supplement
    if (cp < 0x410) return cp + 80;
    if (cp < 0x430) return cp + 32;
    if (cp < 0x460) return cp;
    if ((cp < 0x482 || (cp >= 0x48A && cp < 0x4C0) || cp >= 0x4D0) && cp % 2 == 0) return cp + 1;
    if (cp == 0x4C0) return 0x4CF;
    if (cp >= 0x4C1 && cp <= 0x4CE && cp % 2 == 1) return cp + 1;
    return cp;
  }
  return cp;
}

std::size_t AppendFolded(std::string& out, std::string_view text, bool final) {
  out.reserve(out.size() + text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
      out.push_back(lead >= 'A' && lead <= 'Z' ? static_cast<char>(lead + 32) : static_cast<char>(lead));
      ++at;
      continue;
    }
    std::uint32_t bits = 0;
    const std::size_t length = SequenceLength(lead, bits);
    if (length > 0 && !final && IsCutSequence(text, at, length)) return at;
    const std::optional<std::uint32_t> cp =
        length > 0 && at + length <= text.size() ? DecodeSequence(text.substr(at), length, bits) : std::nullopt;
    if (cp) {
      platform::AppendUtf8(out, FoldCodePoint(*cp));
      at += length;
    } else {
      out.push_back(static_cast<char>(lead));
      ++at;
    }
  }
  return at;
}

std::string FoldCase(std::string_view text) {
  std::string out;
  AppendFolded(out, text);
  return out;
}

void TextFinder::feed(std::string_view piece) {
  if (found_) return;
  if (needle_.empty()) {
    found_ = true;
    return;
  }
  const std::size_t keep = needle_.size() - 1;
  if (!tail_.empty()) {
    std::string joint = tail_;
    joint.append(piece.substr(0, keep));
    if (joint.find(needle_) != std::string::npos) {
      found_ = true;
      return;
    }
  }
  if (piece.find(needle_) != std::string_view::npos) {
    found_ = true;
    return;
  }
  if (piece.size() >= keep) {
    tail_.assign(piece.substr(piece.size() - keep));
  } else {
    tail_.append(piece);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
}

bool ContainsFolded(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  if (IsAscii(text) || platform::IsValidUtf8(text)) return FoldCase(text).find(needle) != std::string::npos;
  return FoldCase(platform::Cp1251ToUtf8(text)).find(needle) != std::string::npos;
}

namespace {

const ByteTable& FoldedBytes(std::string_view charset) {
  thread_local std::vector<std::pair<std::string, std::unique_ptr<ByteTable>>> tables;  // a few names at most
  const std::string key = platform::ToLowerAscii(charset);
  for (const auto& [name, table] : tables) {
    if (name == key) return *table;
  }
  auto table = std::make_unique<ByteTable>();
  for (std::size_t b = 0; b < table->size(); ++b) {
    const std::string byte(1, static_cast<char>(b));
    (*table)[b] = FoldCase(platform::ConvertToUtf8(byte, charset).value_or(byte));
  }
  tables.emplace_back(key, std::move(table));
  return *tables.back().second;
}

void AppendFoldedBytes(std::string& out, std::string_view text, const ByteTable& table) {
  out.reserve(out.size() + text.size() * 2);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : c);
    } else {
      out += table[b];
    }
  }
}

}  // namespace

bool BodyContains(const mime::MessagePart& part, std::string_view body, std::string_view needle) {
  TextFinder finder(needle);
  const Encoding encoding = EncodingOf(part);
  const TextCharset charset = CharsetOf(part);
  Base64Decoder base64;
  std::string decoded;  // a sequence the last piece's end cut, then this piece's bytes
  std::string folded;
  for (std::size_t start = 0; start < body.size() && !finder.found();) {
    const std::size_t end = PieceEnd(body, start);
    const std::string_view piece = body.substr(start, end - start);
    const bool final = end == body.size();
    if (encoding == Encoding::kBase64) {
      base64.decode(piece, decoded);
      if (final) base64.flush(decoded);
    } else if (encoding == Encoding::kQuotedPrintable) {
      DecodeQuotedPrintable(piece, decoded);
    } else {
      decoded.append(piece);
    }
    const bool guessedCp1251 = charset.kind == TextCharset::Kind::kGuess && !IsAscii(decoded) &&
                               !platform::IsValidUtf8(final ? std::string_view(decoded) : WholeSequences(decoded));
    folded.clear();
    if (charset.kind == TextCharset::Kind::kKnown || guessedCp1251) {
      AppendFoldedBytes(folded, decoded, FoldedBytes(guessedCp1251 ? "windows-1251" : charset.name));
      decoded.clear();
    } else {
      decoded.erase(0, AppendFolded(folded, decoded, final));
    }
    finder.feed(folded);
    start = end;
  }
  return finder.found() || needle.empty();
}

}  // namespace quelma::imap_server
