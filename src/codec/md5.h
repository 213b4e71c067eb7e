// MD5 (RFC 1321) with its three-call interface, and HMAC-MD5 (RFC 2104).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::codec {

struct MD5Context {
  std::array<std::uint32_t, 4> state{};
  std::array<std::uint32_t, 2> count{};  // bits hashed so far, low word first
  std::array<std::uint8_t, 64> buffer{};
};

using Md5Digest = std::array<std::uint8_t, 16>;

void MD5Init(MD5Context& context);
void MD5Update(MD5Context& context, const void* input, std::uint32_t length);
// Writes the digest and wipes the whole context.
void MD5Final(Md5Digest& digest, MD5Context& context);

// HMAC-MD5 with a 64-byte block; a key longer than 64 bytes is first replaced by its MD5.
void HmacMd5(const void* text, std::uint32_t textLength, const void* key, std::uint32_t keyLength,
             Md5Digest& digest);

// The digest as 32 lower-case hexadecimal digits, as APOP and CRAM-MD5 send it.
std::string DigestToHex(const Md5Digest& digest);

// Convenience for callers holding strings.
Md5Digest Md5Of(std::string_view bytes);
Md5Digest HmacMd5Of(std::string_view text, std::string_view key);

// The first `n` (at most 16) bytes of the MD5 of `bytes`: the check the store's files put after
// each record, enough to tell a torn or damaged one.
std::string Md5Check(std::string_view bytes, std::size_t n);

}  // namespace quelma::codec
