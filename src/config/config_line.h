// One line of a configuration file as the reader sees it: key, value, remark, and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelma::config {

inline constexpr std::size_t kMaxConfigLine = 1498;  // longer lines arrive as several
inline constexpr std::size_t kMaxKey = 299;
inline constexpr std::size_t kMaxValue = 999;
inline constexpr std::size_t kMaxRemark = 199;

struct ConfigLine {
  std::string key;     // up to the first byte <= 32; empty for an indented line
  std::string value;   // after blanks, tabs and "="; up to a byte <= 32 or ";"
  std::string remark;  // after blanks, tabs and ";"; up to a byte <= 32
  std::string rest;    // what follows the remark, leading blanks skipped (options of newer builds)
};

// The blank-separated words of `rest` ("name=value" or a lone name), in order, as written.
std::vector<std::string> OptionWords(std::string_view rest);

// Tokens longer than their limit are cut; the scan goes on after the whole token.
ConfigLine SplitConfigLine(std::string_view line);

std::string SpacesToBars(std::string_view text);
std::string BarsToSpaces(std::string_view text);

// The leading decimal number of `text` as scanf's %d reads it (optional sign), saturated to
// 32 bits; nothing when no digit follows.
std::optional<std::int32_t> ScanSigned(std::string_view text);
// As scanf's %u: a minus sign wraps modulo 2^32, overflow saturates to 0xFFFFFFFF.
std::optional<std::uint32_t> ScanUnsigned(std::string_view text);

// scanf-like cursor over a value: fields with a maximum width and literal text.
class FieldScanner {
 public:
  explicit FieldScanner(std::string_view text) : text_(text) {}
  // A signed decimal of at most `width` characters (sign included).
  std::optional<std::int32_t> number(std::size_t width);
  std::optional<std::uint32_t> unsignedNumber();
  bool literal(std::string_view expected);
  std::string_view rest() const { return text_.substr(pos_); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace quelma::config
