// The two cryptographic primitives the OAuth logins need beside TLS: SHA-256 (the PKCE code
// challenge) and random bytes from the system's generator (the code verifier and the state).
// OpenSSL on Linux, the system's CNG (bcrypt) on Windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::net {

// The 32 bytes of the SHA-256 digest of `bytes`.
std::string Sha256Of(std::string_view bytes);

// `count` bytes from the system's cryptographic generator; nothing when it fails.
std::optional<std::string> RandomBytes(std::size_t count);

}  // namespace quelma::net
