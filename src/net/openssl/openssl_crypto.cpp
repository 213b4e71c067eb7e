// SHA-256 and random bytes with OpenSSL.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "net/crypto.h"

namespace quelma::net {

std::string Sha256Of(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::optional<std::string> RandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) return std::nullopt;
  return bytes;
}

}  // namespace quelma::net
