// Base64: the RFC 4648 vectors, binary round trips and the decoder's exact quirks.
#include <gtest/gtest.h>

#include <string>

#include "codec/base64.h"

namespace quelma::codec {
namespace {

using namespace std::string_literals;

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    EXPECT_EQ(Base64Decode(encoded), plain);
  }
}

TEST(Base64, EncodesZeroBytesAndLongInputOnOneLine) {
  EXPECT_EQ(Base64Encode("\0user\0pass"s), "AHVzZXIAcGFzcw==");  // AUTH PLAIN
  const std::string long_input(300, 'x');
  const std::string encoded = Base64Encode(long_input);
  EXPECT_EQ(encoded.size(), 400u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (std::size_t length = 0; length <= bytes.size(); length += 17) {
    const std::string part = bytes.substr(0, length);
    EXPECT_EQ(Base64Encode(part).size(), Base64EncodedSize(part.size()));
    EXPECT_EQ(Base64Decode(Base64Encode(part)), part) << length;
  }
}

TEST(Base64, DecoderQuirks) {
  const std::pair<std::string, std::string> cases[] = {
      // Stops at "=" in the third or fourth place; what follows is ignored.
      {"Zg==Zm9v", "f"},
      {"Zm8=Zm9v", "fo"},
      // Whole groups followed by CR LF: one more zero byte from the CR LF group.
      {"Zm9v\r\n", "foo\0"s},
      // A lone character still gives its byte; two give one, three give two.
      {"Zg", "f"},
      {"Zm8", "fo"},
      // Characters outside the alphabet take their place with the value 64.
      {"Z m9", "\x64\x09\xbd"s},
      // "=" in the first two places has no special meaning.
      {"==", "\0"s},
      // The text ends at its first NUL.
      {"Zm9v\0Zm9v"s, "foo"},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(Base64Decode(text), bytes) << text;
}

}  // namespace
}  // namespace quelma::codec
