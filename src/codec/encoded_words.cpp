// Header value decoding: unfolding, RFC 2047 encoded-words in runs, and raw 8-bit text.
#include "codec/encoded_words.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "codec/base64.h"
#include "platform/charset.h"
#include "platform/text.h"

namespace quelma::codec {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsBlanks(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsBlank); }

bool HasEightBitByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// A line end (CR LF, LF or a lone CR) before a blank or TAB goes, and so do those at the end. One
// anywhere else, which a well-formed field never holds, becomes a blank, so the words around it
// stay apart.
std::string Unfold(std::string_view value) {
  while (!value.empty() && IsLineEnd(value.back())) value.remove_suffix(1);
  std::string text;
  text.reserve(value.size());
  for (std::size_t at = 0; at < value.size();) {
    if (!IsLineEnd(value[at])) {
      text.push_back(value[at++]);
      continue;
    }
    at += value[at] == '\r' && at + 1 < value.size() && value[at + 1] == '\n' ? 2 : 1;
    if (!IsBlank(value[at])) text.push_back(' ');  // `at` is in range: the value ends in no line end
  }
  return text;
}

struct EncodedWord {
  std::string_view charset;  // without its RFC 2231 language
  char encoding = 'Q';       // 'B' or 'Q'
  std::string payload;       // Q: the bytes; B: the Base64 text without its padding
  bool padded = false;       // B: "=" closed the text, so the next word starts a new quantum
};

std::optional<std::string> DecodeQ(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '_') {
      bytes.push_back(' ');
    } else if (text[at] != '=') {
      bytes.push_back(text[at]);
    } else {
      if (at + 2 >= text.size()) return std::nullopt;
      const int high = platform::HexDigitValue(text[at + 1]);
      const int low = platform::HexDigitValue(text[at + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes.push_back(static_cast<char>(high * 16 + low));
      at += 2;
    }
  }
  return bytes;
}

// Nothing for a malformed word: an empty text, an unknown encoding, a bad "=" escape, or a
// character outside the Base64 alphabet.
std::optional<EncodedWord> ReadWordParts(std::string_view charset, char encoding, std::string_view text) {
  EncodedWord word;
  word.charset = charset.substr(0, charset.find('*'));
  const char letter = platform::LowerAscii(encoding);
  word.encoding = letter == 'b' ? 'B' : letter == 'q' ? 'Q' : '\0';
  if (word.encoding == 'Q') {
    std::optional<std::string> bytes = DecodeQ(text);
    if (!bytes) return std::nullopt;
    word.payload = std::move(*bytes);
  } else if (word.encoding == 'B') {
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    text.remove_suffix(padding);
    if (!std::all_of(text.begin(), text.end(), IsBase64Character)) return std::nullopt;
    word.payload = std::string(text);
    word.padded = padding > 0;
  } else {
    return std::nullopt;
  }
  if (word.payload.empty()) return std::nullopt;
  return word;
}

// Where the field from `from` ends at a "?"; npos when a blank, a control byte or the end comes
// first. Every scan stops at the next "?", which keeps the search over "=?" after "=?" linear.
std::size_t FieldEnd(std::string_view text, std::size_t from) {
  for (std::size_t at = from; at < text.size(); ++at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '?') return at;
    if (c <= ' ' || c == 0x7F) return npos;
  }
  return npos;
}

// Encoded-words are whole tokens: one is followed by the end, a blank, the next word, or the ")"
// of the comment or the quote of the display name it stands in.
bool EndsToken(std::string_view text, std::size_t at) {
  if (at == text.size()) return true;
  const char c = text[at];
  return IsBlank(c) || c == ')' || c == '"' || (c == '=' && at + 1 < text.size() && text[at + 1] == '?');
}

struct WordAt {
  std::size_t end = 0;              // 0: no encoded-word starts here
  std::optional<EncodedWord> word;  // nothing: a malformed one, kept as written
};

// What stands at the "=?" at `start`.
WordAt ReadWordAt(std::string_view text, std::size_t start) {
  const std::size_t charsetEnd = FieldEnd(text, start + 2);
  if (charsetEnd == npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?') return {};
  const std::size_t textStart = charsetEnd + 3;
  const std::size_t textEnd = FieldEnd(text, textStart);
  if (textEnd == npos || textEnd + 1 >= text.size() || text[textEnd + 1] != '=' || !EndsToken(text, textEnd + 2)) {
    return {};
  }
  return {textEnd + 2, ReadWordParts(text.substr(start + 2, charsetEnd - start - 2), text[charsetEnd + 1],
                                     text.substr(textStart, textEnd - textStart))};
}

struct Piece {
  enum class Kind { kPlain, kWord, kDecoded } kind;
  std::string_view source;  // as written
  EncodedWord word;         // kWord
  std::string decoded;      // kDecoded: a run of words in Windows-1251
};

// Plain text and the encoded-words that decode; a malformed word stays in the plain text around it.
std::vector<Piece> SplitIntoPieces(std::string_view text) {
  std::vector<Piece> pieces;
  std::size_t plainStart = 0;
  for (std::size_t at = text.find("=?"); at != npos;) {
    WordAt found = ReadWordAt(text, at);
    if (found.end == 0) {
      at = text.find("=?", at + 1);
      continue;
    }
    if (found.word) {
      if (at > plainStart) pieces.push_back({Piece::Kind::kPlain, text.substr(plainStart, at - plainStart), {}, {}});
      pieces.push_back({Piece::Kind::kWord, text.substr(at, found.end - at), std::move(*found.word), {}});
      plainStart = found.end;
    }
    at = text.find("=?", found.end);
  }
  if (plainStart < text.size()) pieces.push_back({Piece::Kind::kPlain, text.substr(plainStart), {}, {}});
  return pieces;
}

bool SameRun(const EncodedWord& a, const EncodedWord& b) {
  return a.encoding == b.encoding && platform::EqualsIgnoreAsciiCase(a.charset, b.charset);
}

// Six bits left over make no byte.
void FlushBase64(std::string& bytes, std::string& pending) {
  if (pending.size() % 4 == 1) pending.pop_back();
  bytes += Base64Decode(pending);
  pending.clear();
}

// The bytes of the words in pieces[first..last] as one text: a Base64 quantum may go on in the
// next word unless "=" padding closed it.
std::string JoinPayloads(const std::vector<Piece>& pieces, std::size_t first, std::size_t last) {
  std::string bytes, pending;
  for (std::size_t i = first; i <= last; ++i) {
    const Piece& piece = pieces[i];
    if (piece.kind != Piece::Kind::kWord) continue;
    if (piece.word.encoding == 'Q') {
      bytes += piece.word.payload;
      continue;
    }
    pending += piece.word.payload;
    if (piece.word.padded) FlushBase64(bytes, pending);
  }
  FlushBase64(bytes, pending);
  return bytes;
}

// The index of the last word of the run that starts with the word at `first`: adjacent words
// (nothing but blanks between them) in one charset and encoding, as senders split a text, even
// inside a character or a Base64 quantum.
std::size_t RunEnd(const std::vector<Piece>& pieces, std::size_t first) {
  std::size_t last = first;
  for (;;) {
    std::size_t next = last + 1;
    if (next < pieces.size() && pieces[next].kind == Piece::Kind::kPlain && IsBlanks(pieces[next].source)) ++next;
    if (next >= pieces.size() || pieces[next].kind != Piece::Kind::kWord) return last;
    if (!SameRun(pieces[first].word, pieces[next].word)) return last;
    last = next;
  }
}

// The text a run of words or a piece of plain text becomes: Windows-1251 for the sorter, UTF-8 for IMAP SEARCH.
enum class Target { kCp1251, kUtf8 };

std::optional<std::string> Convert(std::string_view bytes, std::string_view charset, Target target) {
  return target == Target::kUtf8 ? platform::ConvertToUtf8(bytes, charset) : platform::ConvertToCp1251(bytes, charset);
}

// Each run of words converted as one text; a run in a charset the program does not know goes back
// to plain text, as written.
std::vector<Piece> ConvertRuns(const std::vector<Piece>& pieces, Target target) {
  std::vector<Piece> converted;
  for (std::size_t first = 0; first < pieces.size();) {
    if (pieces[first].kind != Piece::Kind::kWord) {
      converted.push_back({Piece::Kind::kPlain, pieces[first].source, {}, {}});
      ++first;
      continue;
    }
    const std::size_t last = RunEnd(pieces, first);
    const std::string bytes = JoinPayloads(pieces, first, last);
    std::optional<std::string> text = Convert(bytes, pieces[first].word.charset, target);
    if (text) {
      std::replace_if(text->begin(), text->end(), IsLineEnd, ' ');
      converted.push_back({Piece::Kind::kDecoded, {}, {}, std::move(*text)});
    } else {
      for (std::size_t i = first; i <= last; ++i) converted.push_back({Piece::Kind::kPlain, pieces[i].source, {}, {}});
    }
    first = last + 1;
  }
  return converted;
}

// Raw 8-bit text is UTF-8 when all of it reads as UTF-8, which Windows-1251 text almost never does.
bool PlainTextIsUtf8(const std::vector<Piece>& pieces) {
  bool eightBit = false;
  for (const Piece& piece : pieces) {
    if (piece.kind != Piece::Kind::kPlain) continue;
    if (!platform::IsValidUtf8(piece.source)) return false;
    eightBit = eightBit || HasEightBitByte(piece.source);
  }
  return eightBit;
}

bool IsDecoded(const std::vector<Piece>& pieces, std::size_t i) {
  return i < pieces.size() && pieces[i].kind == Piece::Kind::kDecoded;
}

std::string Decode(std::string_view value, Target target) {
  const std::string text = Unfold(value);
  if (text.find("=?") == npos && !HasEightBitByte(text)) return text;
  const std::vector<Piece> pieces = ConvertRuns(SplitIntoPieces(text), target);
  const bool utf8 = PlainTextIsUtf8(pieces);
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    if (piece.kind == Piece::Kind::kDecoded) {
      decoded += piece.decoded;
    } else if (IsBlanks(piece.source) && i > 0 && IsDecoded(pieces, i - 1) && IsDecoded(pieces, i + 1)) {
      continue;  // the blanks between two encoded-words
    } else if (utf8 == (target == Target::kUtf8)) {
      decoded += piece.source;
    } else {
      decoded += Convert(piece.source, utf8 ? "UTF-8" : "windows-1251", target).value_or(std::string(piece.source));
    }
  }
  return decoded;
}

}  // namespace

std::string DecodeHeaderValue(std::string_view value) { return Decode(value, Target::kCp1251); }

std::string DecodeHeaderValueToUtf8(std::string_view value) { return Decode(value, Target::kUtf8); }

std::string EncodeHeaderValue(std::string_view cp1251) {
  const bool plain = std::all_of(cp1251.begin(), cp1251.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
  if (plain && cp1251.find("=?") == std::string_view::npos) return std::string(cp1251);
  // 30 bytes make 40 Base64 characters: with "=?windows-1251?B?" and "?=" a word of 59.
  std::string out;
  for (std::size_t at = 0; at < cp1251.size(); at += 30) {
    if (!out.empty()) out += "\r\n ";
    out += "=?windows-1251?B?" + Base64Encode(cp1251.substr(at, 30)) + "?=";
  }
  return out;
}

}  // namespace quelma::codec
