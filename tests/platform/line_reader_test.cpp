// Bounded line reading: pieces of at most the cap, split as fgets splits them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/line_reader.h"

namespace quelma::platform {
namespace {

std::vector<std::string> Pieces(const std::string& bytes, std::size_t cap) {
  StringSource source(bytes);
  LineReader reader(source, cap);
  std::vector<std::string> out;
  std::string piece;
  while (reader.next(piece)) out.push_back(piece);
  return out;
}

TEST(LineReader, SplitsAtLineFeedsAndAtTheCap) {
  using V = std::vector<std::string>;
  struct Case {
    std::string bytes;
    std::size_t cap;
    V pieces;
  };
  const Case cases[] = {
      {"", 10, V{}},
      {"a\r\nb\r\n", 10, V{"a\r\n", "b\r\n"}},
      {"no end", 10, V{"no end"}},
      {"abcdefgh\r\n", 4, V{"abcd", "efgh", "\r\n"}},
      {"abc\r\n", 4, V{"abc\r", "\n"}},
      {"\n\n", 4, V{"\n", "\n"}},
      {std::string("a\0b\n", 4), 10, V{std::string("a\0b\n", 4)}},
  };
  for (const auto& c : cases) EXPECT_EQ(Pieces(c.bytes, c.cap), c.pieces) << c.bytes;
}

TEST(LineReader, LongInputCrossesTheReadAheadBuffer) {
  const std::string line = std::string(20000, 'x') + "\r\n";
  const auto pieces = Pieces(line + line, 1498);
  std::string joined;
  for (const auto& p : pieces) {
    EXPECT_LE(p.size(), 1498u);
    joined += p;
  }
  EXPECT_EQ(joined, line + line);
}

}  // namespace
}  // namespace quelma::platform
