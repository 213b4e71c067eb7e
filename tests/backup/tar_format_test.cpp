// The tar headers: what a backup writes is read back the same (long names and large sizes
// through pax records), and damaged or foreign headers are told for what they are.
#include "backup/tar_format.h"

#include <gtest/gtest.h>

namespace quelma::backup {
namespace {

TEST(TarFormat, HeadersReadBackAsWritten) {
  const std::string longLevel(90, 'f');
  const struct {
    const char* why;
    TarMember member;
    std::size_t blocks;  // a pax header adds two
  } cases[] = {
      {"a short file", {"quelma.cfg", MemberType::kFile, 949, 1765290000}, 1},
      {"a directory", {"maildrop/ivan.folders", MemberType::kDirectory, 0, 1}, 1},
      {"a name split over prefix and name", {longLevel + "/" + longLevel, MemberType::kFile, 1, 1}, 1},
      {"a name no split can hold", {std::string(120, 'x'), MemberType::kFile, 5, 1}, 3},
      {"a size of 8 GiB", {"maildrop/big", MemberType::kFile, 8ULL << 30, 1}, 3},
      {"a Windows-1251 name", {"maildrop/\xE8\xE2\xE0\xED", MemberType::kFile, 3, 1}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string bytes = FormatTarHeader(c.member);
    ASSERT_EQ(bytes.size(), c.blocks * kTarBlock);
    TarMember read;
    PaxOverrides pax;
    for (std::size_t at = 0; at < bytes.size(); at += kTarBlock) {
      const DecodedHeader h = DecodeTarHeader(std::string_view(bytes).substr(at, kTarBlock));
      if (h.kind == HeaderKind::kPaxHeader) {
        const auto decoded = DecodePaxRecords(std::string_view(bytes).substr(at + kTarBlock, h.member.size));
        ASSERT_TRUE(decoded);
        pax = *decoded;
        at += kTarBlock;  // its records fill one block here
        continue;
      }
      ASSERT_EQ(h.kind, HeaderKind::kMember);
      read = h.member;
    }
    EXPECT_EQ(pax.path.value_or(read.name), c.member.name);
    EXPECT_EQ(pax.size.value_or(read.size), c.member.size);
    EXPECT_EQ(read.type, c.member.type);
    EXPECT_EQ(read.mtime, c.member.mtime);
  }
}

TEST(TarFormat, ForeignAndDamagedHeaders) {
  std::string good = FormatTarHeader({"a", MemberType::kFile, 1, 1});
  std::string flipped = good;
  flipped[3] = 'z';
  std::string link = good;
  link[156] = '2';  // a symbolic link, its checksum put right
  unsigned sum = 0;
  for (std::size_t i = 0; i < kTarBlock; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(link[i]);
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06o", sum);
  link.replace(148, 6, digits, 6);
  const struct {
    const char* why;
    std::string block;
    HeaderKind kind;
  } cases[] = {
      {"as written", good, HeaderKind::kMember},
      {"a byte changed", flipped, HeaderKind::kDamaged},
      {"a link", link, HeaderKind::kUnsupported},
      {"zeros", std::string(kTarBlock, '\0'), HeaderKind::kZeroBlock},
      {"short", good.substr(0, 100), HeaderKind::kDamaged},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeTarHeader(c.block).kind, c.kind) << c.why;
}

TEST(TarFormat, PaxRecords) {
  EXPECT_EQ(DecodePaxRecords("13 path=abc/\n12 size=999\n")->path, "abc");
  EXPECT_EQ(DecodePaxRecords("13 path=abc/\n12 size=999\n")->size, 999u);
  EXPECT_TRUE(DecodePaxRecords("20 comment=anything\n"));
  for (const char* bad : {"99 path=x\n", "5 path=x\n", "x path=x\n", "11 pathxx\n\n", "12 size=-1\n", "13 path=abc/"}) {
    EXPECT_FALSE(DecodePaxRecords(bad)) << bad;
  }
}

TEST(TarFormat, OnlyNamesInsideTheRestoreDirectoryAreSafe) {
  for (const char* good : {"quelma.cfg", "maildrop/ivan.folders/.INBOX.index", "a/b/c", "..a", "a..b/c"}) {
    EXPECT_TRUE(SafeMemberName(good)) << good;
  }
  for (const char* bad : {"", "/etc/passwd", "../x", "a/../../x", "a//b", "a/./b", "a\\b", "C:x", "a/", ".", "a\tb"}) {
    EXPECT_FALSE(SafeMemberName(bad)) << bad;
  }
}

}  // namespace
}  // namespace quelma::backup
