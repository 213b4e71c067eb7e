// Command line framing: pieces, several lines at once, the 1999-byte cap and the 15 s limit.
#include <gtest/gtest.h>

#include <deque>

#include "pop3_server/pop3_line_reader.h"
#include "support/fake_clock.h"

namespace quelma::pop3_server {
namespace {

using quelma::testing::FakeClock;

// Hands out the given pieces one per receive; each receive moves the clock by `stepMs`.
struct ScriptedPeer {
  std::deque<std::string> pieces;
  FakeClock& clock;
  std::uint32_t stepMs = 0;
  long receive(char* buffer, std::size_t capacity) {
    clock.tick += stepMs;
    if (pieces.empty()) return 0;
    std::string piece = pieces.front();
    pieces.pop_front();
    if (piece.size() > capacity) {
      pieces.push_front(piece.substr(capacity));
      piece.resize(capacity);
    }
    piece.copy(buffer, piece.size());
    return static_cast<long>(piece.size());
  }
};

std::vector<std::string> ReadAllLines(std::deque<std::string> pieces, std::uint32_t stepMs = 0) {
  FakeClock clock;
  ScriptedPeer peer{std::move(pieces), clock, stepMs};
  Pop3LineReader reader([&peer](char* b, std::size_t n) { return peer.receive(b, n); }, clock);
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  return lines;
}

TEST(Pop3LineReader, Framing) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ReadAllLines({"USER ivan\r\n"}), V{"USER ivan\r\n"});
  EXPECT_EQ(ReadAllLines({"US", "ER iv", "an\r", "\n"}), V{"USER ivan\r\n"});
  EXPECT_EQ(ReadAllLines({"USER ivan\r\nPASS x\r\nSTAT\r\n"}), (V{"USER ivan\r\n", "PASS x\r\n", "STAT\r\n"}));
  EXPECT_EQ(ReadAllLines({"STAT\r\nLI", "ST\r\n"}), (V{"STAT\r\n", "LIST\r\n"}));
  EXPECT_EQ(ReadAllLines({"bare\n"}), V{"bare\n"});
  EXPECT_EQ(ReadAllLines({"no end"}), V{});
}

TEST(Pop3LineReader, ByteAtATime) {
  std::deque<std::string> pieces;
  for (const char c : std::string("NOOP\r\nQUIT\r\n")) pieces.emplace_back(1, c);
  EXPECT_EQ(ReadAllLines(pieces), (std::vector<std::string>{"NOOP\r\n", "QUIT\r\n"}));
}

TEST(Pop3LineReader, LineCap) {
  const std::string fits = std::string(1997, 'x') + "\r\n";  // 1999 bytes
  EXPECT_EQ(ReadAllLines({fits, "NOOP\r\n"}), (std::vector<std::string>{fits, "NOOP\r\n"}));
  EXPECT_TRUE(ReadAllLines({std::string(1998, 'x') + "\r\n"}).empty());
  EXPECT_TRUE(ReadAllLines({std::string(5000, 'x')}).empty());
  EXPECT_EQ(ReadAllLines({"OK\r\n" + std::string(3000, 'x') + "\r\n"}), std::vector<std::string>{"OK\r\n"});
}

TEST(Pop3LineReader, FifteenSecondsPerLine) {
  // Every piece takes 4 s: before the fifth receive of one line 16 s have passed.
  EXPECT_TRUE(ReadAllLines({"N", "O", "O", "P", "\r\n"}, 4000).empty());
  EXPECT_EQ(ReadAllLines({"NO", "OP", "\r", "\n"}, 4000), std::vector<std::string>{"NOOP\r\n"});
  // The limit counts from the start of each line, not of the connection.
  EXPECT_EQ(ReadAllLines({"NOOP\r\n", "NOOP\r\n", "NOOP\r\n", "NOOP\r\n", "NOOP\r\n"}, 4000).size(), 5u);
}

}  // namespace
}  // namespace quelma::pop3_server
