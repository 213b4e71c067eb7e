// HMAC-MD5 (RFC 2104) on top of the MD5 three-call interface.
#include <array>
#include <cstring>

#include "codec/md5.h"

namespace quelma::codec {

void HmacMd5(const void* text, std::uint32_t textLength, const void* key, std::uint32_t keyLength,
             Md5Digest& digest) {
  std::array<std::uint8_t, 64> block{};
  if (keyLength > 64) {
    MD5Context keyContext;
    MD5Init(keyContext);
    MD5Update(keyContext, key, keyLength);
    Md5Digest keyDigest{};
    MD5Final(keyDigest, keyContext);
    std::memcpy(block.data(), keyDigest.data(), keyDigest.size());
  } else if (keyLength > 0) {
    std::memcpy(block.data(), key, keyLength);
  }

  std::array<std::uint8_t, 64> innerPad{}, outerPad{};
  for (std::size_t i = 0; i < block.size(); ++i) {
    innerPad[i] = block[i] ^ 0x36;
    outerPad[i] = block[i] ^ 0x5C;
  }

  MD5Context context;
  MD5Init(context);
  MD5Update(context, innerPad.data(), 64);
  MD5Update(context, text, textLength);
  Md5Digest inner{};
  MD5Final(inner, context);

  MD5Init(context);
  MD5Update(context, outerPad.data(), 64);
  MD5Update(context, inner.data(), 16);
  MD5Final(digest, context);
}

Md5Digest HmacMd5Of(std::string_view text, std::string_view key) {
  Md5Digest digest{};
  HmacMd5(text.data(), static_cast<std::uint32_t>(text.size()), key.data(), static_cast<std::uint32_t>(key.size()),
          digest);
  return digest;
}

}  // namespace quelma::codec
