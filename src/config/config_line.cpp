// Splitting configuration lines into tokens, bar translation and scanf-like numbers.
#include "config/config_line.h"

#include <limits>

namespace quelma::config {
namespace {

bool IsBreak(char c) { return static_cast<unsigned char>(c) <= 32; }

// Reads a token that stops at a byte <= 32 or at `stop`; keeps at most `limit` bytes.
std::string TakeToken(std::string_view line, std::size_t& pos, std::size_t limit, char stop) {
  const std::size_t begin = pos;
  while (pos < line.size() && !IsBreak(line[pos]) && line[pos] != stop) ++pos;
  return std::string(line.substr(begin, std::min(pos - begin, limit)));
}

void SkipAny(std::string_view line, std::size_t& pos, std::string_view set) {
  while (pos < line.size() && set.find(line[pos]) != std::string_view::npos) ++pos;
}

struct ScannedNumber {
  bool negative = false;
  std::uint64_t magnitude = 0;  // saturates at 2^33, enough to tell every overflow
  std::size_t length = 0;       // characters taken, sign included
};

std::optional<ScannedNumber> ScanDecimal(std::string_view text, std::size_t width) {
  ScannedNumber n;
  std::size_t i = 0;
  if (i < text.size() && i < width && (text[i] == '+' || text[i] == '-')) {
    n.negative = text[i] == '-';
    ++i;
  }
  const std::size_t firstDigit = i;
  while (i < text.size() && i < width && text[i] >= '0' && text[i] <= '9') {
    n.magnitude = std::min<std::uint64_t>(n.magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0'), 1ull << 33);
    ++i;
  }
  if (i == firstDigit) return std::nullopt;
  n.length = i;
  return n;
}

std::int32_t ToSigned(const ScannedNumber& n) {
  const std::int64_t v = n.negative ? -static_cast<std::int64_t>(n.magnitude) : static_cast<std::int64_t>(n.magnitude);
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

std::uint32_t ToUnsigned(const ScannedNumber& n) {
  if (n.magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  const auto v = static_cast<std::uint32_t>(n.magnitude);
  return n.negative ? static_cast<std::uint32_t>(0u - v) : v;
}

constexpr std::size_t kNoWidth = std::numeric_limits<std::size_t>::max();

}  // namespace

ConfigLine SplitConfigLine(std::string_view line) {
  ConfigLine out;
  std::size_t pos = 0;
  out.key = TakeToken(line, pos, kMaxKey, '\0');
  SkipAny(line, pos, "= \t");
  out.value = TakeToken(line, pos, kMaxValue, ';');
  SkipAny(line, pos, " \t;");
  out.remark = TakeToken(line, pos, kMaxRemark, '\0');
  while (pos < line.size() && IsBreak(line[pos])) ++pos;
  std::size_t end = line.size();
  while (end > pos && IsBreak(line[end - 1])) --end;
  out.rest = std::string(line.substr(pos, std::min(end - pos, kMaxValue)));
  return out;
}

std::vector<std::string> OptionWords(std::string_view rest) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < rest.size()) {
    while (pos < rest.size() && IsBreak(rest[pos])) ++pos;
    if (pos == rest.size()) break;
    words.push_back(TakeToken(rest, pos, kMaxValue, '\0'));
  }
  return words;
}

std::string SpacesToBars(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == ' ') c = '|';
  }
  return out;
}

std::string BarsToSpaces(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '|') c = ' ';
  }
  return out;
}

std::optional<std::int32_t> ScanSigned(std::string_view text) {
  const auto n = ScanDecimal(text, kNoWidth);
  if (!n) return std::nullopt;
  return ToSigned(*n);
}

std::optional<std::uint32_t> ScanUnsigned(std::string_view text) {
  const auto n = ScanDecimal(text, kNoWidth);
  if (!n) return std::nullopt;
  return ToUnsigned(*n);
}

std::optional<std::int32_t> FieldScanner::number(std::size_t width) {
  const auto n = ScanDecimal(rest(), width);
  if (!n) return std::nullopt;
  pos_ += n->length;
  return ToSigned(*n);
}

std::optional<std::uint32_t> FieldScanner::unsignedNumber() {
  const auto n = ScanDecimal(rest(), kNoWidth);
  if (!n) return std::nullopt;
  pos_ += n->length;
  return ToUnsigned(*n);
}

bool FieldScanner::literal(std::string_view expected) {
  if (rest().substr(0, expected.size()) != expected) return false;
  pos_ += expected.size();
  return true;
}

}  // namespace quelma::config
