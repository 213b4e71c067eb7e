// SHA-256 and random bytes with the system's CNG primitives (bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include "net/crypto.h"

namespace quelma::net {

std::string Sha256Of(std::string_view bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  std::string digest(32, '\0');
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  done = done && BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                               static_cast<ULONG>(bytes.size()), 0));
  done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0));
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return done ? digest : std::string();
}

std::optional<std::string> RandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  const NTSTATUS status = BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(status)) return std::nullopt;
  return bytes;
}

}  // namespace quelma::net
