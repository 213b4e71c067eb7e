// The scan of a maildrop file: its messages found from the separator lines, wherever a read
// ends, and the ids of messages stored without one.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "spool/maildrop.h"
#include "spool/maildrop_file.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

constexpr std::size_t kReadPiece = 64 * 1024;  // what the index reads at a time

std::string Sep(const char* id) { return FormatMaildropSeparator(std::strtoul(id, nullptr, 16)) + "\r\n"; }
const std::string kShortSep = std::string(kMaildropMarker) + "\r\n";  // older notices: no id

struct Indexed {
  std::size_t at;  // separator offset
  std::size_t size;
  std::string uid;
};

std::vector<Indexed> IndexOf(const std::string& path) {
  auto drop = MaildropFile::Open(path);
  EXPECT_TRUE(drop.has_value());
  if (!drop) return {};
  drop->buildIndexHeld();
  std::vector<Indexed> out;
  for (const auto& m : drop->messages()) {
    EXPECT_EQ(m.textOffset - m.separatorOffset, ReadAll(path).find('\n', m.separatorOffset) + 1 - m.separatorOffset);
    out.push_back({m.separatorOffset, m.size, m.uid.value_or("<none>")});
  }
  return out;
}

bool operator==(const Indexed& a, const Indexed& b) { return a.at == b.at && a.size == b.size && a.uid == b.uid; }
void PrintTo(const Indexed& m, std::ostream* os) { *os << "{" << m.at << ", " << m.size << ", " << m.uid << "}"; }

TEST(MaildropIndex, Table) {
  const std::string a = "Subject: a\r\n\r\nA\r\n", b = "Subject: b\r\n\r\nBB\r\n";
  const struct {
    const char* name;
    std::string file;
    std::vector<Indexed> index;
  } cases[] = {
      {"empty", "", {}},
      {"stray text only", "no separator here\r\n", {}},
      {"one", Sep("0000000A") + a, {{0, a.size(), "0000000A"}}},
      {"many", Sep("0000000A") + a + Sep("0000000B") + b + Sep("0000000C") + a,
       {{0, a.size(), "0000000A"}, {24 + a.size(), b.size(), "0000000B"}, {48 + a.size() + b.size(), a.size(), "0000000C"}}},
      {"stray text in front", "junk\r\n" + Sep("0000000A") + a, {{6, a.size(), "0000000A"}}},
      {"a torn tail: the last line without its line feed", Sep("0000000A") + a + "cut off", {{0, a.size() + 7, "0000000A"}}},
      {"a torn separator at the end belongs to the text", Sep("0000000A") + a + "From \x01\x01",
       {{0, a.size() + 7, "0000000A"}}},
      {"a separator line with its id cut", Sep("0000000A") + a + std::string(kMaildropMarker) + " 0000\r\n" + b,
       {{0, a.size(), "0000000A"}, {24 + a.size(), b.size(), "<derived>"}}},
      {"an empty message", Sep("0000000A") + Sep("0000000B") + b, {{0, 0, "0000000A"}, {24, b.size(), "0000000B"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    WriteAll(dir.file("ivan"), c.file);
    auto index = IndexOf(dir.file("ivan"));
    for (auto& m : index) {
      if (m.uid.size() == 33 && m.uid[0] == 'T') m.uid = "<derived>";
    }
    EXPECT_EQ(index, c.index);
  }
}

TEST(MaildropIndex, SeparatorsWithoutIdGetOnesFromTheirText) {
  testing::TempDir dir;
  const std::string a = "Subject: a\r\n\r\nA\r\n";
  WriteAll(dir.file("ivan"), kShortSep + a + kShortSep + a + kShortSep + "other\r\n");
  const auto index = IndexOf(dir.file("ivan"));
  ASSERT_EQ(index.size(), 3u);
  EXPECT_EQ(index[0].uid.size(), 33u);
  EXPECT_EQ(index[1].uid, index[0].uid + "-2") << "the same text: told apart by order";
  EXPECT_NE(index[2].uid.substr(0, 33), index[0].uid);
  EXPECT_EQ(IndexOf(dir.file("ivan"))[1].uid, index[1].uid) << "the same in every session";
}

// The read buffer's edge at every byte of a line's CR LF and of the separator line after it,
// and inside a torn last line.
TEST(MaildropIndex, EveryCutOfCrLfAndSeparatorAtTheReadEdge) {
  const std::string b = "Subject: b\r\n\r\nB\r\n";
  for (std::size_t edge = 0; edge <= 2 + 24; ++edge) {
    SCOPED_TRACE("the edge " + std::to_string(edge) + " bytes into CR LF + separator");
    // 24 bytes of the first separator, then a text whose last CR LF starts `edge` bytes
    // before the edge.
    const std::size_t textSize = kReadPiece - 24 + 2 - edge;
    std::string a = "Subject: a\r\n\r\n";
    a += std::string(textSize - a.size() - 2, 'x') + "\r\n";
    testing::TempDir dir;
    WriteAll(dir.file("ivan"), Sep("0000000A") + a + Sep("0000000B") + b);
    const std::vector<Indexed> expected = {{0, a.size(), "0000000A"}, {24 + a.size(), b.size(), "0000000B"}};
    EXPECT_EQ(IndexOf(dir.file("ivan")), expected);
    WriteAll(dir.file("torn"), Sep("0000000A") + a + "cut");
    EXPECT_EQ(IndexOf(dir.file("torn")), (std::vector<Indexed>{{0, a.size() + 3, "0000000A"}}));
  }
}

}  // namespace
}  // namespace quelma::spool
