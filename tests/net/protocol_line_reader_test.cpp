// Line framing: pieces, several lines at once, the line cap, the 15 s limit, text pieces.
#include <gtest/gtest.h>

#include <deque>

#include "net/protocol_line_reader.h"
#include "support/fake_clock.h"

namespace quelma::net {
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
  ProtocolLineReader reader([&peer](char* b, std::size_t n) { return peer.receive(b, n); }, clock, 1999, 2000);
  std::vector<std::string> lines;
  while (auto line = reader.nextLine()) lines.push_back(*line);
  return lines;
}

TEST(ProtocolLineReader, Framing) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ReadAllLines({"USER ivan\r\n"}), V{"USER ivan\r\n"});
  EXPECT_EQ(ReadAllLines({"US", "ER iv", "an\r", "\n"}), V{"USER ivan\r\n"});
  EXPECT_EQ(ReadAllLines({"USER ivan\r\nPASS x\r\nSTAT\r\n"}), (V{"USER ivan\r\n", "PASS x\r\n", "STAT\r\n"}));
  EXPECT_EQ(ReadAllLines({"STAT\r\nLI", "ST\r\n"}), (V{"STAT\r\n", "LIST\r\n"}));
  EXPECT_EQ(ReadAllLines({"bare\n"}), V{"bare\n"});
  EXPECT_EQ(ReadAllLines({"no end"}), V{});
}

TEST(ProtocolLineReader, ByteAtATime) {
  std::deque<std::string> pieces;
  for (const char c : std::string("NOOP\r\nQUIT\r\n")) pieces.emplace_back(1, c);
  EXPECT_EQ(ReadAllLines(pieces), (std::vector<std::string>{"NOOP\r\n", "QUIT\r\n"}));
}

TEST(ProtocolLineReader, LineCap) {
  const std::string fits = std::string(1997, 'x') + "\r\n";  // 1999 bytes
  EXPECT_EQ(ReadAllLines({fits, "NOOP\r\n"}), (std::vector<std::string>{fits, "NOOP\r\n"}));
  EXPECT_TRUE(ReadAllLines({std::string(1998, 'x') + "\r\n"}).empty());
  EXPECT_TRUE(ReadAllLines({std::string(5000, 'x')}).empty());
  EXPECT_EQ(ReadAllLines({"OK\r\n" + std::string(3000, 'x') + "\r\n"}), std::vector<std::string>{"OK\r\n"});
}

TEST(ProtocolLineReader, FifteenSecondsPerLine) {
  // Every piece takes 4 s: before the fifth receive of one line 16 s have passed.
  EXPECT_TRUE(ReadAllLines({"N", "O", "O", "P", "\r\n"}, 4000).empty());
  EXPECT_EQ(ReadAllLines({"NO", "OP", "\r", "\n"}, 4000), std::vector<std::string>{"NOOP\r\n"});
  // The limit counts from the start of each line, not of the connection.
  EXPECT_EQ(ReadAllLines({"NOOP\r\n", "NOOP\r\n", "NOOP\r\n", "NOOP\r\n", "NOOP\r\n"}, 4000).size(), 5u);
}

TEST(ProtocolLineReader, TextPiecesAfterACommandLine) {
  FakeClock clock;
  ScriptedPeer peer{{"DATA\r\nline one\r\n" + std::string(2500, 'x') + "\r\n.\r\nQUIT\r\n"}, clock, 0};
  ProtocolLineReader reader([&peer](char* b, std::size_t n) { return peer.receive(b, n); }, clock, 1199, 1200);
  EXPECT_EQ(reader.nextLine(), "DATA\r\n");
  EXPECT_EQ(reader.nextPiece(1199), "line one\r\n");
  EXPECT_EQ(reader.nextPiece(1199), std::string(1199, 'x'));
  EXPECT_EQ(reader.nextPiece(1199), std::string(1199, 'x'));
  EXPECT_EQ(reader.nextPiece(1199), std::string(102, 'x') + "\r\n");
  EXPECT_EQ(reader.nextPiece(1199), ".\r\n");
  EXPECT_EQ(reader.nextLine(), "QUIT\r\n") << "what followed the text is the next command";
  EXPECT_EQ(reader.nextPiece(1199), std::nullopt);
}

}  // namespace
}  // namespace quelma::net
