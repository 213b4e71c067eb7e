// How much room is left on the disk that holds a folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quelma::platform {

// Bytes this program may still write on the file system of `path` (a folder); nothing when
// the system cannot tell.
std::optional<std::uint64_t> FreeDiskBytes(const std::string& path);

}  // namespace quelma::platform
