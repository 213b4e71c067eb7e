// POSIX keeps secrets in files of mode 0600: nothing to seal.
#include "platform/secret_protection.h"

namespace quelma::platform {

bool SecretsAreSealed() { return false; }

std::optional<std::string> SealForUser(std::string_view secret) { return std::string(secret); }

std::optional<std::string> UnsealForUser(std::string_view sealed) { return std::string(sealed); }

}  // namespace quelma::platform
