// The provider's replies as the reader takes them, fed whole and one byte at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "net/reply_reader.h"

namespace quelma::net {
namespace {

// Hands out `bytes` in pieces of at most `piece` bytes, then reports the connection closed.
ReplyReader::Receive From(const std::string& bytes, std::size_t piece) {
  auto at = std::make_shared<std::size_t>(0);
  return [bytes, piece, at](char* buffer, std::size_t capacity) -> long {
    const std::size_t n = std::min({piece, capacity, bytes.size() - *at});
    std::memcpy(buffer, bytes.data() + *at, n);
    *at += n;
    return static_cast<long>(n);
  };
}

TEST(ReplyReader, RepliesAndTheirLimits) {
  const std::string line500 = "250-" + std::string(496, 'a') + "\r\n";  // 502 bytes
  const struct {
    std::string wire;
    std::vector<std::string> replies;  // then the reader fails
  } cases[] = {
      {"220 ready\r\n", {"220 ready\r\n"}},
      {"250-one\r\n250-two\r\n250 three\r\n354 go\r\n", {"250-one\r\n250-two\r\n250 three\r\n", "354 go\r\n"}},
      {"250\r\n", {"250\r\n"}},
      {"25\r\n220 x\r\n", {"", "220 x\r\n"}},  // a line under five bytes ends a reply unkept
      {"250 " + std::string(600, 'b') + "\r\n", {"250 " + std::string(515, 'b')}},  // 519 bytes kept
      // Lines over 1199 bytes in all are dropped, but the reply is read to its end.
      {line500 + line500 + line500 + "250 end\r\n221 bye\r\n", {line500 + line500, "221 bye\r\n"}},
      {"250-open\r\n", {}},
      {"220 no line end", {}},
  };
  for (const std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
    for (const auto& c : cases) {
      ReplyReader reader(From(c.wire, piece));
      std::string reply;
      for (const auto& expected : c.replies) {
        ASSERT_TRUE(reader.read(reply)) << c.wire.substr(0, 30);
        EXPECT_EQ(reply, expected);
      }
      EXPECT_FALSE(reader.read(reply)) << c.wire.substr(0, 30);
    }
  }
}

TEST(ReplyReader, AReplyWithoutEndIsGivenUp) {
  ReplyReader reader([](char* buffer, std::size_t capacity) {
    std::memset(buffer, 'x', capacity);
    return static_cast<long>(capacity);
  });
  std::string reply;
  EXPECT_FALSE(reader.read(reply));
}

}  // namespace
}  // namespace quelma::net
