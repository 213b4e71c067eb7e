// MD5 as RFC 1321 gives it: the four rounds, the 64 constants, little-endian words.
#include "codec/md5.h"

#include <cstring>

namespace quelma::codec {
namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t RotateLeft(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

std::uint32_t LoadLittleEndian(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Transform(std::array<std::uint32_t, 4>& state, const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    std::uint32_t f;
    int k;
    switch (round) {
      case 0: f = (b & c) | (~b & d); k = i; break;
      case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
    }
    const std::uint32_t rotated = RotateLeft(a + f + x[k] + kSine[i], kShift[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5Context& context) {
  context.count = {0, 0};
  context.state = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
}

void MD5Update(MD5Context& context, const void* input, std::uint32_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(input);
  std::uint32_t index = (context.count[0] >> 3) & 0x3F;
  const std::uint32_t bits = length << 3;
  context.count[0] += bits;
  if (context.count[0] < bits) ++context.count[1];
  context.count[1] += length >> 29;

  const std::uint32_t room = 64 - index;
  std::uint32_t i = 0;
  if (length >= room) {
    std::memcpy(&context.buffer[index], bytes, room);
    Transform(context.state, context.buffer.data());
    for (i = room; i + 63 < length; i += 64) Transform(context.state, bytes + i);
    index = 0;
  }
  if (length > i) std::memcpy(&context.buffer[index], bytes + i, length - i);
}

void MD5Final(Md5Digest& digest, MD5Context& context) {
  std::uint8_t bitCount[8];
  for (int i = 0; i < 8; ++i) bitCount[i] = static_cast<std::uint8_t>(context.count[i / 4] >> (8 * (i % 4)));
  static constexpr std::uint8_t kPadding[64] = {0x80};
  const std::uint32_t index = (context.count[0] >> 3) & 0x3F;
  MD5Update(context, kPadding, index < 56 ? 56 - index : 120 - index);
  MD5Update(context, bitCount, 8);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(context.state[i / 4] >> (8 * (i % 4)));
  context = MD5Context{};
}

Md5Digest Md5Of(std::string_view bytes) {
  MD5Context context;
  MD5Init(context);
  MD5Update(context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  Md5Digest digest{};
  MD5Final(digest, context);
  return digest;
}

std::string DigestToHex(const Md5Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (const std::uint8_t byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

std::string Md5Check(std::string_view bytes, std::size_t n) {
  const Md5Digest digest = Md5Of(bytes);
  return std::string(reinterpret_cast<const char*>(digest.data()), n < digest.size() ? n : digest.size());
}

}  // namespace quelma::codec
