// Lines and raw bytes read from one receive buffer: the same results wherever the peer's
// sends are cut, lines longer than the buffer and than what is kept, bytes left for the next
// read after a peek, and nothing kept across a restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/line_receiver.h"
#include "support/scripted_stream.h"

namespace quelma::net {
namespace {

// The peer sends `bytes` at once and then closes; each receive hands out at most `piece`.
struct Peer {
  Peer(const std::string& bytes, std::size_t piece) : stream(bytes, [](const std::string&) { return std::nullopt; }) {
    stream.pieceSize = piece;
    stream.closeWhenDrained();
  }
  testing::ScriptedStream stream;
};

TEST(LineReceiver, LinesAndBytesInEveryCut) {
  const std::string longLine(100, 'x');
  const std::string wire = "* OK hello\r\nbare\n" + longLine + "\r\n{5}\r\nABCDEtail\r\nlast";
  for (const std::size_t piece : {1, 2, 7, 16, 64, 1 << 20}) {
    for (const std::size_t buffer : {16, 32, 4096}) {
      SCOPED_TRACE("receives of " + std::to_string(piece) + ", buffer " + std::to_string(buffer));
      Peer peer(wire, piece);
      LineReceiver lines(peer.stream, buffer);
      std::string line;
      ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
      EXPECT_EQ(line, "* OK hello\r\n");
      ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
      EXPECT_EQ(line, "bare\n");
      ASSERT_EQ(lines.readLine(line, 11), LineReceiver::Status::kLine);  // 10 kept, then the line feed
      EXPECT_EQ(line, std::string(10, 'x') + "\n");
      ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
      EXPECT_EQ(line, "{5}\r\n");
      // Five bytes of a literal by peeking, the rest left for the next line.
      std::string literal;
      while (literal.size() < 5) {
        std::string_view bytes;
        ASSERT_TRUE(lines.peek(bytes));
        bytes = bytes.substr(0, 5 - literal.size());
        literal += bytes;
        lines.consume(bytes.size());
      }
      EXPECT_EQ(literal, "ABCDE");
      ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
      EXPECT_EQ(line, "tail\r\n");
      EXPECT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kCut);
      EXPECT_EQ(line, "last");
      EXPECT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kNothing);
      std::string_view none;
      EXPECT_FALSE(lines.peek(none));
    }
  }
}

TEST(LineReceiver, ARestartDropsWhatWasNotHandedOut) {
  Peer before("+OK begin TLS\r\nsmuggled\r\n", 1 << 20);
  Peer after("* OK secure\r\n", 1 << 20);
  LineReceiver lines(before.stream, 4096);
  std::string line;
  ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
  EXPECT_TRUE(lines.holdsInput());
  EXPECT_EQ(lines.restart(after.stream), std::string("smuggled\r\n").size());
  EXPECT_FALSE(lines.holdsInput());
  ASSERT_EQ(lines.readLine(line, 1000), LineReceiver::Status::kLine);
  EXPECT_EQ(line, "* OK secure\r\n");
}

}  // namespace
}  // namespace quelma::net
