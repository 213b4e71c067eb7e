// Reading the arguments of an IMAP command as the grammar has them: atoms, numbers, quoted
// strings and literals, parenthesised lists. The text is a whole command as CommandReader
// gives it, so a literal's bytes follow its "{n}" CR LF in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::imap_server {

class ArgumentReader {
 public:
  explicit ArgumentReader(std::string_view text) : text_(text) {}

  bool atEnd() const { return at_ == text_.size(); }
  std::size_t position() const { return at_; }
  char peek() const { return atEnd() ? '\0' : text_[at_]; }
  // The next byte is `c`: it is taken.
  bool take(char c);
  bool space() { return take(' '); }

  // An atom: one or more atom characters (see IsAtomChar); `extra` may stand in it too
  // ("]" in an astring, "[" and "]" and "." in a FETCH item).
  std::optional<std::string_view> atom(std::string_view extra = {});
  // Letters, digits, ".", "-" and "_": a command's name, a FETCH item's, a section's.
  std::optional<std::string_view> name();
  // The atom `word`, any case.
  bool keyword(std::string_view word);
  // A tag: astring characters but "+".
  std::optional<std::string_view> tag();
  std::optional<std::uint32_t> number();      // 0 to 4294967295
  std::optional<std::uint32_t> nonZero();     // 1 to 4294967295
  std::optional<std::uint64_t> number64();    // 0 to 2^63 - 1 (a MODSEQ)
  // A quoted string (escapes taken off) or a literal; nothing for anything else.
  std::optional<std::string> string();
  // A literal's bytes, in place; `binary` says it was written "~{n}".
  std::optional<std::string_view> literal(bool* binary = nullptr);
  std::optional<std::string> astring();
  // A string, or NIL (an empty optional inside).
  std::optional<std::optional<std::string>> nstring();
  // The bytes up to the end of the text (a SASL answer, the rest of a line).
  std::string_view rest();

 private:
  std::optional<std::string> quoted();
  std::string_view text_;
  std::size_t at_ = 0;
};

// "DD-Mon-YYYY HH:MM:SS +ZZZZ" in double quotes, as APPEND gives a date: seconds since 1970
// (UTC); nothing when it is not a valid date.
std::optional<std::int64_t> ReadDateTime(ArgumentReader& in);
// "D-Mon-YYYY" (SEARCH): the day's first second (UTC) of that date.
std::optional<std::int64_t> ReadDate(ArgumentReader& in);
// The INTERNALDATE form of `seconds` (UTC): "08-Dec-2026 21:30:00 +0000".
std::string FormatInternalDate(std::int64_t seconds);

}  // namespace quelma::imap_server
