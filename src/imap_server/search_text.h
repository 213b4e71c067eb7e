// The text SEARCH compares: UTF-8 with its letters' case folded, a body part's text with its
// transfer encoding taken off and its charset converted, piece by piece, so a big message is
// never copied whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mime/message_structure.h"

namespace quelma::imap_server {

// A code point's case-folded form (lower case) for Basic Latin, Latin-1 Supplement, Latin
// Extended-A, Greek and Cyrillic; any other code point as it is.
std::uint32_t FoldCodePoint(std::uint32_t cp);

// Appends `text` case-folded. A byte that starts no valid UTF-8 sequence is kept as it is (so
// raw 8-bit text still matches itself). Unless `final`, a sequence cut at the end is left
// unread: the return value is how many bytes were taken.
std::size_t AppendFolded(std::string& out, std::string_view text, bool final = true);
std::string FoldCase(std::string_view text);

// Finds a folded needle in folded text fed in pieces, a match across two pieces included.
class TextFinder {
 public:
  explicit TextFinder(std::string_view needle) : needle_(needle) {}
  void feed(std::string_view piece);
  bool found() const { return found_; }

 private:
  std::string_view needle_;
  std::string tail_;  // the last needle-size - 1 bytes fed
  bool found_ = false;
};

// Whether the folded `needle` is in `text` once `text` is read as UTF-8 (or, when it is not
// UTF-8, as Windows-1251) and folded.
bool ContainsFolded(std::string_view text, std::string_view needle);

// Whether the folded `needle` is in the text of `part`, a leaf whose body is `body`: the
// Content-Transfer-Encoding (base64, quoted-printable) taken off, its charset (or, without a
// known one, UTF-8 when the text reads as UTF-8 and Windows-1251 otherwise) converted to UTF-8.
bool BodyContains(const mime::MessagePart& part, std::string_view body, std::string_view needle);

}  // namespace quelma::imap_server
