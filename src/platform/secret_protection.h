// Secrets at rest for the user the program runs as: on Windows sealed with the user's own key
// (DPAPI), so a copy of the file is useless to anyone else; on POSIX kept as they are, in a
// file only the owner can read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::platform {

// Whether stored secrets are sealed (Windows): a copy works only for the same user on the same machine.
bool SecretsAreSealed();

// The bytes to store; nothing when the system cannot seal them.
std::optional<std::string> SealForUser(std::string_view secret);

// The secret back from stored bytes; nothing when they were sealed for another user or machine,
// or are damaged.
std::optional<std::string> UnsealForUser(std::string_view sealed);

}  // namespace quelma::platform
