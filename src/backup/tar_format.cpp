// ustar headers written and read, pax records for long names and large sizes.
#include "backup/tar_format.h"

#include <algorithm>

namespace quelma::backup {
namespace {

constexpr std::size_t kNameField = 100;
constexpr std::size_t kPrefixField = 155;
constexpr std::uint64_t kLargestOctalSize = 077777777777ULL;  // 11 octal digits
constexpr std::size_t kMaxPaxRecords = 64 * 1024;

// Field places in a header block.
struct Field {
  std::size_t at, length;
};
constexpr Field kName{0, 100}, kMode{100, 8}, kUid{108, 8}, kGid{116, 8}, kSize{124, 12}, kMtime{136, 12},
    kChecksum{148, 8}, kType{156, 1}, kMagic{257, 6}, kVersion{263, 2}, kPrefix{345, 155};

void Put(std::string& block, Field field, std::string_view text) {
  block.replace(field.at, std::min(text.size(), field.length), text.substr(0, field.length));
}

// `value` in octal, zero-padded to fill the field but its closing NUL.
void PutOctal(std::string& block, Field field, std::uint64_t value) {
  std::string digits(field.length - 1, '0');
  for (std::size_t i = digits.size(); i-- > 0 && value != 0; value >>= 3) digits[i] = static_cast<char>('0' + (value & 7));
  Put(block, field, digits);
}

std::uint32_t ChecksumOf(std::string_view block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kTarBlock; ++i) {
    const bool inField = i >= kChecksum.at && i < kChecksum.at + kChecksum.length;
    sum += inField ? ' ' : static_cast<unsigned char>(block[i]);
  }
  return sum;
}

std::string UstarBlock(std::string_view name, std::string_view prefix, char type, std::uint64_t size,
                       std::int64_t mtime) {
  std::string block(kTarBlock, '\0');
  Put(block, kName, name);
  Put(block, kPrefix, prefix);
  PutOctal(block, kMode, type == '5' ? 0700 : 0600);
  PutOctal(block, kUid, 0);
  PutOctal(block, kGid, 0);
  PutOctal(block, kSize, std::min(size, kLargestOctalSize));
  PutOctal(block, kMtime, static_cast<std::uint64_t>(std::max<std::int64_t>(mtime, 0)));
  block[kType.at] = type;
  Put(block, kMagic, std::string_view("ustar\0", 6));
  Put(block, kVersion, "00");
  std::string sum(7, '0');
  PutOctal(sum, {0, 7}, ChecksumOf(block));
  Put(block, kChecksum, sum.substr(0, 6) + std::string("\0 ", 2));
  return block;
}

std::string PaxRecord(std::string_view key, std::string_view value) {
  const std::size_t rest = 1 + key.size() + 1 + value.size() + 1;  // " key=value\n"
  std::size_t length = rest + 1;
  while (std::to_string(length).size() + rest != length) ++length;
  return std::to_string(length) + " " + std::string(key) + "=" + std::string(value) + "\n";
}

// The name split over ustar's prefix and name fields, at a "/": nothing when it cannot be.
std::optional<std::pair<std::string_view, std::string_view>> UstarSplit(std::string_view name) {
  if (name.size() <= kNameField) return std::pair{std::string_view(), name};
  for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
    if (slash <= kPrefixField && name.size() - slash - 1 <= kNameField && slash + 1 < name.size()) {
      return std::pair{name.substr(0, slash), name.substr(slash + 1)};
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ReadNumber(std::string_view block, Field field) {
  const std::string_view text = block.substr(field.at, field.length);
  if (static_cast<unsigned char>(text[0]) == 0x80) {  // base-256, as GNU tar writes large numbers
    std::uint64_t value = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (value >> 56) return std::nullopt;
      value = (value << 8) | static_cast<unsigned char>(text[i]);
    }
    return value;
  }
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const std::size_t first = i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '7'; ++i) {
    if (value >> 60) return std::nullopt;
    value = value * 8 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (i == first && field.at != kMtime.at) return std::nullopt;
  for (; i < text.size(); ++i) {
    if (text[i] != ' ' && text[i] != '\0') return std::nullopt;
  }
  return value;
}

std::string CString(std::string_view block, Field field) {
  const std::string_view text = block.substr(field.at, field.length);
  return std::string(text.substr(0, std::min(text.find('\0'), text.size())));
}

}  // namespace

std::string FormatTarHeader(const TarMember& member) {
  const bool directory = member.type == MemberType::kDirectory;
  const std::string name = directory ? member.name + "/" : member.name;
  const char type = directory ? '5' : '0';
  const auto split = UstarSplit(name);
  std::string out;
  if (!split || member.size > kLargestOctalSize) {
    std::string records;
    if (!split) records += PaxRecord("path", name);
    if (member.size > kLargestOctalSize) records += PaxRecord("size", std::to_string(member.size));
    out = UstarBlock("PaxHeader", "", 'x', records.size(), member.mtime) + records;
    out.append(TarPadding(records.size()), '\0');
  }
  const std::string_view shortName = split ? split->second : std::string_view(name).substr(0, kNameField);
  return out + UstarBlock(shortName, split ? split->first : std::string_view(), type, member.size, member.mtime);
}

std::size_t TarPadding(std::uint64_t size) { return static_cast<std::size_t>((kTarBlock - size % kTarBlock) % kTarBlock); }

std::string TarEnd() { return std::string(2 * kTarBlock, '\0'); }

DecodedHeader DecodeTarHeader(std::string_view block) {
  DecodedHeader header;
  if (block.size() != kTarBlock) return header;
  if (std::all_of(block.begin(), block.end(), [](char c) { return c == '\0'; })) {
    header.kind = HeaderKind::kZeroBlock;
    return header;
  }
  const auto checksum = ReadNumber(block, kChecksum);
  const auto size = ReadNumber(block, kSize);
  const auto mtime = ReadNumber(block, kMtime);
  if (!checksum || *checksum != ChecksumOf(block) || !size || !mtime) return header;
  header.member.size = *size;
  header.member.mtime = static_cast<std::int64_t>(*mtime);
  std::string name = CString(block, kName);
  if (block.substr(kMagic.at, 5) == "ustar") {
    const std::string prefix = CString(block, kPrefix);
    if (!prefix.empty()) name = prefix + "/" + name;
  }
  switch (block[kType.at]) {
    case '0':
    case '\0':
    case '7':  // contiguous: a plain file to every reader
      header.kind = HeaderKind::kMember;
      header.member.type = MemberType::kFile;
      break;
    case '5':
      header.kind = HeaderKind::kMember;
      header.member.type = MemberType::kDirectory;
      header.member.size = 0;
      break;
    case 'x':
      header.kind = HeaderKind::kPaxHeader;
      break;
    case 'g':
      header.kind = HeaderKind::kGlobalPax;
      break;
    default:
      header.kind = HeaderKind::kUnsupported;
      break;
  }
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  header.member.name = std::move(name);
  return header;
}

std::optional<PaxOverrides> DecodePaxRecords(std::string_view records) {
  PaxOverrides overrides;
  for (std::size_t count = 0; !records.empty(); ++count) {
    const std::size_t space = records.find(' ');
    if (count == kMaxPaxRecords || space == 0 || space == std::string_view::npos || space > 20) return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < space; ++i) {
      if (records[i] < '0' || records[i] > '9') return std::nullopt;
      length = length * 10 + static_cast<std::uint64_t>(records[i] - '0');
    }
    if (length <= space + 1 || length > records.size() || records[length - 1] != '\n') return std::nullopt;
    const std::string_view record = records.substr(space + 1, length - space - 2);
    records.remove_prefix(length);
    const std::size_t equals = record.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = record.substr(0, equals), value = record.substr(equals + 1);
    if (key == "path") {
      std::string path(value);
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      overrides.path = std::move(path);
    } else if (key == "size") {
      if (value.empty() || value.size() > 19 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
      }
      overrides.size = std::stoull(std::string(value));
    }
  }
  return overrides;
}

bool SafeMemberName(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == ':' || c == 0x7F) return false;
  }
  std::size_t begin = 0;
  for (;;) {
    const std::size_t slash = std::min(name.find('/', begin), name.size());
    const std::string_view level = name.substr(begin, slash - begin);
    if (level.empty() || level == "." || level == "..") return false;
    if (slash == name.size()) return true;
    begin = slash + 1;
  }
}

}  // namespace quelma::backup
