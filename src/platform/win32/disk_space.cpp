// Free disk space through GetDiskFreeSpaceExA: what the calling user may still use (quotas too).
#include "platform/disk_space.h"

#include <windows.h>

namespace quelma::platform {

std::optional<std::uint64_t> FreeDiskBytes(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return static_cast<std::uint64_t>(available.QuadPart);
}

}  // namespace quelma::platform
