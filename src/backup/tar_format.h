// The tar format backups are written in: POSIX ustar headers, with a pax header before a
// member whose name or size a ustar header cannot hold; read back as far as a restore needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::backup {

inline constexpr std::size_t kTarBlock = 512;

enum class MemberType { kFile, kDirectory };

struct TarMember {
  std::string name;  // "/" between levels; a directory's without the trailing "/"
  MemberType type = MemberType::kFile;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // seconds since 1970
};

// The header block(s) that introduce `member`: a pax header first when its name is longer than
// ustar's fields hold or its size is 8 GiB or more.
std::string FormatTarHeader(const TarMember& member);

// The zero bytes that fill a member of `size` bytes up to a whole block.
std::size_t TarPadding(std::uint64_t size);

// Two zero blocks: the end of the archive.
std::string TarEnd();

enum class HeaderKind {
  kMember,       // a file or directory
  kPaxHeader,    // pax records for the next member follow (`member.size` bytes)
  kGlobalPax,    // pax records for the whole archive follow: skipped
  kZeroBlock,    // the end, when a second one follows
  kDamaged,      // the checksum does not match, or a number field is not a number
  kUnsupported,  // a link, device or other type a backup never holds
};

struct DecodedHeader {
  HeaderKind kind = HeaderKind::kDamaged;
  TarMember member;
};

// One header block (kTarBlock bytes).
DecodedHeader DecodeTarHeader(std::string_view block);

// What a pax header says of the next member; nothing when its records are damaged.
struct PaxOverrides {
  std::optional<std::string> path;
  std::optional<std::uint64_t> size;
};
std::optional<PaxOverrides> DecodePaxRecords(std::string_view records);

// Whether a member may be written under a restore's directory: relative, no "." or ".."
// level, no empty level, no backslash, colon or control character.
bool SafeMemberName(std::string_view name);

}  // namespace quelma::backup
