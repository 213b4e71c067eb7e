// Secrets sealed with DPAPI for the current Windows user (CryptProtectData).
#include "platform/secret_protection.h"

#include <windows.h>
#include <wincrypt.h>

namespace quelma::platform {
namespace {

// What DPAPI hands back is freed with LocalFree once copied.
std::string TakeBlob(DATA_BLOB& blob) {
  std::string bytes(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
  SecureZeroMemory(blob.pbData, blob.cbData);
  LocalFree(blob.pbData);
  return bytes;
}

DATA_BLOB BlobOf(std::string_view bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

constexpr wchar_t kDescription[] = L"Quelmar Mail Server OAuth";

}  // namespace

bool SecretsAreSealed() { return true; }

std::optional<std::string> SealForUser(std::string_view secret) {
  if (secret.size() > 16 * 1024 * 1024) return std::nullopt;
  DATA_BLOB in = BlobOf(secret);
  DATA_BLOB out{};
  if (!CryptProtectData(&in, kDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return std::nullopt;
  }
  return TakeBlob(out);
}

std::optional<std::string> UnsealForUser(std::string_view sealed) {
  if (sealed.size() > 16 * 1024 * 1024) return std::nullopt;
  DATA_BLOB in = BlobOf(sealed);
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return std::nullopt;
  }
  return TakeBlob(out);
}

}  // namespace quelma::platform
