// MD5 and HMAC-MD5 against the published test suites.
#include <gtest/gtest.h>

#include <string>

#include "codec/md5.h"

namespace quelma::codec {
namespace {

struct DigestCase {
  std::string input;
  std::string hex;
};

TEST(Md5, Rfc1321TestSuite) {
  const DigestCase cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(DigestToHex(Md5Of(c.input)), c.hex) << c.input;
}

TEST(Md5, PiecesOfOddLengthsGiveTheSameDigestAsOneCall) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input.push_back(static_cast<char>(i * 7 + 3));
  const Md5Digest whole = Md5Of(input);
  for (const std::size_t step : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
    MD5Context context;
    MD5Init(context);
    for (std::size_t pos = 0; pos < input.size(); pos += step) {
      const std::size_t n = std::min(step, input.size() - pos);
      MD5Update(context, input.data() + pos, static_cast<std::uint32_t>(n));
    }
    Md5Digest digest{};
    MD5Final(digest, context);
    EXPECT_EQ(digest, whole) << "step " << step;
    EXPECT_EQ(context.state, (std::array<std::uint32_t, 4>{})) << "the context is wiped";
  }
}

TEST(Md5, ApopDigestOfTimestampAndPassword) {
  // The example exchange of RFC 1939.
  EXPECT_EQ(DigestToHex(Md5Of("<1896.697170952@dbc.mtview.ca.us>tanstaaf")), "c4c9334bac560ecc979e58001b3e22fb");
}

struct HmacCase {
  std::string key;
  std::string text;
  std::string hex;
};

TEST(HmacMd5, Rfc2104AndRfc2202Vectors) {
  std::string key25;
  for (int i = 1; i <= 25; ++i) key25.push_back(static_cast<char>(i));
  const HmacCase cases[] = {
      {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      {key25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
      {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      // A key of exactly one block is used as it is, not hashed first.
      {std::string(64, 'k'), "a key of exactly one block is used as it is", "d9f0ef2513b7e66b708dcad78a5fc994"},
  };
  for (const auto& c : cases) EXPECT_EQ(DigestToHex(HmacMd5Of(c.text, c.key)), c.hex) << c.text;
}

}  // namespace
}  // namespace quelma::codec
