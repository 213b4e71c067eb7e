// The grammar's pieces: atoms, numbers, strings, literals, dates.
#include "imap_server/command_syntax.h"

#include <array>

#include "imap_server/command_reader.h"
#include "imap_server/imap_strings.h"
#include "mime/mail_date.h"

namespace quelma::imap_server {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                      "jul", "aug", "sep", "oct", "nov", "dec"};

std::optional<int> Month(std::string_view word) {
  if (word.size() != 3) return std::nullopt;
  const std::string lower{Lower(word[0]), Lower(word[1]), Lower(word[2])};
  for (std::size_t m = 0; m < kMonths.size(); ++m) {
    if (kMonths[m] == lower) return static_cast<int>(m) + 1;
  }
  return std::nullopt;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::optional<int> Digits(std::string_view text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    if (!IsDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// "D-Mon-YYYY" or "DD-Mon-YYYY" (a leading space for a one-digit day in date-time) at the
// start of `text`: the day number and the length read.
std::optional<std::pair<std::int64_t, std::size_t>> DayOf(std::string_view text) {
  std::size_t at = text.size() > 0 && text[0] == ' ' ? 1 : 0;
  const std::size_t dayDigits = text.size() > at + 1 && IsDigit(text[at + 1]) ? 2 : 1;
  const auto day = Digits(text, at, dayDigits);
  at += dayDigits;
  if (!day || text.size() < at + 9 || text[at] != '-' || text[at + 4] != '-') return std::nullopt;
  const auto month = Month(text.substr(at + 1, 3));
  const auto year = Digits(text, at + 5, 4);
  if (!month || !year || *year < 1 || *day < 1 || *day > DaysInMonth(*year, *month)) return std::nullopt;
  return std::make_pair(DaysFromCivil(*year, *month, *day), at + 9);
}

}  // namespace

bool ArgumentReader::take(char c) {
  if (atEnd() || text_[at_] != c) return false;
  ++at_;
  return true;
}

std::optional<std::string_view> ArgumentReader::atom(std::string_view extra) {
  const std::size_t begin = at_;
  while (!atEnd() && (IsAtomChar(text_[at_]) || extra.find(text_[at_]) != std::string_view::npos)) ++at_;
  if (at_ == begin) return std::nullopt;
  return text_.substr(begin, at_ - begin);
}

std::optional<std::string_view> ArgumentReader::name() {
  const std::size_t begin = at_;
  while (!atEnd()) {
    const char c = text_[at_];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '.' || c == '-' || c == '_')) break;
    ++at_;
  }
  if (at_ == begin) return std::nullopt;
  return text_.substr(begin, at_ - begin);
}

bool ArgumentReader::keyword(std::string_view word) {
  const std::size_t begin = at_;
  const auto got = atom();
  if (got && got->size() == word.size()) {
    bool same = true;
    for (std::size_t i = 0; i < word.size(); ++i) same = same && Lower((*got)[i]) == Lower(word[i]);
    if (same) return true;
  }
  at_ = begin;
  return false;
}

std::optional<std::string_view> ArgumentReader::tag() {
  const std::size_t begin = at_;
  while (!atEnd() && IsAStringChar(text_[at_]) && text_[at_] != '+') ++at_;
  if (at_ == begin) return std::nullopt;
  return text_.substr(begin, at_ - begin);
}

std::optional<std::uint64_t> ArgumentReader::number64() {
  const std::size_t begin = at_;
  std::uint64_t value = 0;
  while (!atEnd() && IsDigit(text_[at_])) {
    const auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
    if (value > (INT64_MAX - digit) / 10) {
      at_ = begin;
      return std::nullopt;
    }
    value = value * 10 + digit;
    ++at_;
  }
  if (at_ == begin) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> ArgumentReader::number() {
  const std::size_t begin = at_;
  const auto value = number64();
  if (!value || *value > UINT32_MAX) {
    at_ = begin;
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> ArgumentReader::nonZero() {
  const std::size_t begin = at_;
  const auto value = number();
  if (!value || *value == 0) {
    at_ = begin;
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> ArgumentReader::quoted() {
  if (!take('"')) return std::nullopt;
  std::string value;
  while (!atEnd()) {
    char c = text_[at_++];
    if (c == '"') return value;
    if (c == '\\') {
      if (atEnd()) break;
      c = text_[at_++];
      if (c != '"' && c != '\\') break;
    } else if (c == '\r' || c == '\n' || c == '\0') {
      break;
    }
    value += c;
  }
  return std::nullopt;
}

std::optional<std::string_view> ArgumentReader::literal(bool* binary) {
  const std::size_t begin = at_;
  const bool tilde = take('~');
  if (!take('{')) {
    at_ = begin;
    return std::nullopt;
  }
  const std::size_t close = text_.find('}', at_);
  const std::size_t lineEnd = text_.find("\r\n", at_);
  if (close == std::string_view::npos || lineEnd == std::string_view::npos || lineEnd != close + 1) {
    at_ = begin;
    return std::nullopt;
  }
  const auto marker = TrailingLiteral(text_.substr(begin, close + 1 - begin));
  if (!marker || marker->size > text_.size() - (lineEnd + 2)) {
    at_ = begin;
    return std::nullopt;
  }
  if (binary) *binary = tilde;
  const std::size_t start = lineEnd + 2;
  at_ = start + static_cast<std::size_t>(marker->size);
  return text_.substr(start, static_cast<std::size_t>(marker->size));
}

std::optional<std::string> ArgumentReader::string() {
  if (peek() == '"') return quoted();
  bool binary = false;
  const std::size_t begin = at_;
  const auto bytes = literal(&binary);
  if (!bytes) return std::nullopt;
  // A string never holds NUL; "~{n}" is for APPEND's message only.
  if (binary || bytes->find('\0') != std::string_view::npos) {
    at_ = begin;
    return std::nullopt;
  }
  return std::string(*bytes);
}

std::optional<std::string> ArgumentReader::astring() {
  if (peek() == '"' || peek() == '{') return string();
  const std::size_t begin = at_;
  while (!atEnd() && IsAStringChar(text_[at_])) ++at_;
  if (at_ == begin) return std::nullopt;
  return std::string(text_.substr(begin, at_ - begin));
}

std::optional<std::optional<std::string>> ArgumentReader::nstring() {
  if (keyword("NIL")) return std::optional<std::string>();
  auto value = string();
  if (!value) return std::nullopt;
  return std::optional<std::string>(std::move(*value));
}

std::string_view ArgumentReader::rest() {
  const std::string_view all = text_.substr(at_);
  at_ = text_.size();
  return all;
}

std::optional<std::int64_t> ReadDateTime(ArgumentReader& in) {
  const auto text = in.string();
  if (!text || text->size() != 26) return std::nullopt;
  const auto day = DayOf(*text);
  if (!day || day->second != 11 || (*text)[11] != ' ') return std::nullopt;
  const auto hour = Digits(*text, 12, 2), minute = Digits(*text, 15, 2), second = Digits(*text, 18, 2);
  const char sign = (*text)[21];
  const auto zoneHours = Digits(*text, 22, 2), zoneMinutes = Digits(*text, 24, 2);
  if (!hour || !minute || !second || (*text)[14] != ':' || (*text)[17] != ':' || (*text)[20] != ' ' ||
      (sign != '+' && sign != '-') || !zoneHours || !zoneMinutes || *hour > 23 || *minute > 59 || *second > 60 ||
      *zoneMinutes > 59) {
    return std::nullopt;
  }
  const std::int64_t zone = (*zoneHours * 60 + *zoneMinutes) * 60 * (sign == '+' ? 1 : -1);
  return day->first * 86400 + *hour * 3600 + *minute * 60 + *second - zone;
}

std::optional<std::int64_t> ReadDate(ArgumentReader& in) {
  std::string text;
  if (in.peek() == '"' || in.peek() == '{') {
    auto s = in.string();
    if (!s) return std::nullopt;
    text = std::move(*s);
  } else {
    const auto word = in.atom();
    if (!word) return std::nullopt;
    text = std::string(*word);
  }
  const auto day = DayOf(text);
  if (!day || day->second != text.size() || text[0] == ' ') return std::nullopt;
  return day->first * 86400;
}

std::string FormatInternalDate(std::int64_t seconds) {
  const mime::CivilTime t = mime::CivilFromUnix(seconds);
  const auto padded = [](std::int64_t value, std::size_t width) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < width ? width - digits.size() : 0, '0') + digits;
  };
  return padded(t.day, 2) + "-" + mime::MonthName(t.month) + "-" + padded(t.year, 4) + " " + padded(t.hour, 2) + ":" +
         padded(t.minute, 2) + ":" + padded(t.second, 2) + " +0000";
}

}  // namespace quelma::imap_server
